// Logging through the product's logging configuration. Messages are built
// only when their level is enabled, so debug lines cost one level check (a
// dict lookup in the logger's own cache).
#pragma once

#include <nanobind/nanobind.h>

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace tarvex {

namespace nb = nanobind;

enum class Level : int { debug = 10, info = 20, warning = 30, error = 40 };

// "12.3": a duration in milliseconds with one decimal.
std::string ms1(double milliseconds);

namespace detail {
void append_str(std::string &out, nb::handle obj);  // str(obj)
inline void append(std::string &out, std::string_view text) { out += text; }
inline void append(std::string &out, const char *text) { out += text; }
inline void append(std::string &out, const std::string &text) { out += text; }
inline void append(std::string &out, nb::handle obj) { append_str(out, obj); }
// Pieces that know how to write themselves, so that what they cost (a
// thread name looked up, say) is only paid when the line is written.
template <typename T>
    requires requires(const T &piece, std::string &out) { piece.append_to(out); }
void append(std::string &out, const T &piece) {
    piece.append_to(out);
}
template <std::integral T>
void append(std::string &out, T value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}
}  // namespace detail

// Concatenates text pieces and Python objects (as str()) into one string.
template <typename... Parts>
std::string concat(const Parts &...parts) {
    std::string out;
    (detail::append(out, parts), ...);
    return out;
}

class Logger {
public:
    // The module's `logger` object: get_logger(module_name).
    static Logger for_module(const char *module_name);
    explicit Logger(nb::object logger);
    Logger() = default;

    const nb::object &object() const { return logger_; }
    bool enabled(Level level) const;
    void emit(Level level, std::string_view message, bool exc_info = false) const;

    template <typename... Parts>
    void debug(const Parts &...parts) const {
        log(Level::debug, parts...);
    }
    template <typename... Parts>
    void info(const Parts &...parts) const {
        log(Level::info, parts...);
    }
    template <typename... Parts>
    void warning(const Parts &...parts) const {
        log(Level::warning, parts...);
    }
    template <typename... Parts>
    void error(const Parts &...parts) const {
        log(Level::error, parts...);
    }

    template <typename... Parts>
    void log(Level level, const Parts &...parts) const {
        if (enabled(level))
            emit(level, concat(parts...));
    }

private:
    nb::object logger_;
    nb::object is_enabled_for_;
    nb::object log_;          // Logger.log, for records with exc_info
    nb::object make_record_;  // Logger.makeRecord and Logger.handle: the rest of
    nb::object handle_;       // Logger._log, without the caller lookup
    nb::object name_;
    // The logger's own answer cache (logging.Logger._cache, emptied by
    // logging whenever a level changes): a level found there costs a dict
    // lookup instead of a call.
    nb::object answers_;
    nb::object attributes_;  // the logger's __dict__, for its `disabled` flag
};

}  // namespace tarvex
