#include "lexora/module_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "lexora/text.hpp"

namespace lexora {

namespace {

bool same_file_state(const struct stat &a, const struct stat &b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool not_after(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

// One millisecond after `t`: far enough to show in a float of seconds.
struct timespec just_after(struct timespec t) {
    t.tv_nsec += 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_nsec -= 1000000000;
        t.tv_sec += 1;
    }
    return t;
}

// Writes the whole buffer and leaves the file's state in `after`. A file
// system with coarse timestamps can give a rewrite the same modification
// time as the previous write, and the parser would then keep the old
// parse; such a time is moved just past `floor`. Returns 0 or an errno.
int write_whole_file(const std::string &path, std::string_view data, const struct timespec &floor,
                     struct stat &after) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    int error = 0;
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    if (!error && ::fstat(fd, &after) != 0)
        error = errno;
    if (!error && not_after(after.st_mtim, floor)) {
        struct timespec times[2] = {{0, UTIME_OMIT}, just_after(floor)};
        if (::futimens(fd, times) != 0 || ::fstat(fd, &after) != 0)
            error = errno;
    }
    if (::close(fd) != 0 && !error)
        error = errno;
    return error;
}

}  // namespace

bool ModuleFiles::write(nb::handle path, nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "write() argument must be str, not %.200s",
                     Py_TYPE(text.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string where = fs_path(path);
    Py_ssize_t size = 0;
    const char *utf8_text = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8_text)
        throw nb::python_error();
    std::string_view data(utf8_text, static_cast<size_t>(size));

    struct timespec floor{};
    if (auto found = files_.find(where); found != files_.end()) {
        const Record &record = found->second;
        if (record.present && record.text == data) {
            struct stat now;
            if (::stat(where.c_str(), &now) == 0 && same_file_state(now, record.identity))
                return false;
        }
        floor = record.last_mtime;
    }

    struct stat after{};
    int error;
    {
        // The str keeps its UTF-8 buffer alive and unchanged; nothing of
        // Python or of this object is touched while the GIL is released.
        nb::gil_scoped_release unlocked;
        error = write_whole_file(where, data, floor, after);
    }
    ++generation_;
    Record &record = files_[where];
    if (error) {
        record.present = false;
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
    record.text.assign(data);
    record.present = true;
    record.identity = after;
    record.last_mtime = after.st_mtim;
    return true;
}

void ModuleFiles::forget(const std::string &fs_path) {
    ++generation_;
    auto found = files_.find(fs_path);
    if (found != files_.end()) {
        found->second.present = false;
        found->second.text.clear();
    }
}

}  // namespace lexora
