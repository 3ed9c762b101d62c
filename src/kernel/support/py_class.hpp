// Python classes made from C++ functions: `type(name, bases, namespace)`
// with a namespace of functions bound as methods. Instances keep their
// attributes in an ordinary __dict__, readable and writable under their
// names, and take part in garbage collection like any Python object.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace tarvex::kernel {

namespace nb = nanobind;

class ClassBuilder {
public:
    // `bases` empty means (object,). The metaclass is the one of the first
    // base, so ABC bases keep working.
    ClassBuilder(nb::handle module, const char *name, nb::tuple bases = nb::tuple());

    template <typename Func, typename... Extra>
    ClassBuilder &method(const char *name, Func &&func, const Extra &...extra) {
        namespace_[name] =
            nb::cpp_function(std::forward<Func>(func), nb::is_method(), nb::name(name), extra...);
        return *this;
    }

    template <typename Func, typename... Extra>
    ClassBuilder &static_method(const char *name, Func &&func, const Extra &...extra) {
        return attr(name, builtin_staticmethod()(
                              nb::cpp_function(std::forward<Func>(func), nb::name(name), extra...)));
    }

    // A read-only property whose getter takes `self`.
    template <typename Getter>
    ClassBuilder &property(const char *name, Getter &&getter) {
        nb::object fget = nb::cpp_function(std::forward<Getter>(getter), nb::is_method(), nb::name(name));
        return attr(name, builtin_property()(fget));
    }

    ClassBuilder &attr(const char *name, nb::handle value) {
        namespace_[name] = value;
        return *this;
    }
    ClassBuilder &doc(const char *text) { return attr("__doc__", nb::str(text)); }

    // Creates the class and binds it as a global of the module.
    nb::object finish();

private:
    static nb::object builtin_property();
    static nb::object builtin_staticmethod();

    nb::handle module_;
    const char *name_;
    nb::tuple bases_;
    nb::dict namespace_;
};

}  // namespace tarvex::kernel
