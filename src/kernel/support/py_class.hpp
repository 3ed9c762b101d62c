// Python classes made from C++ functions: `type(name, bases, namespace)`
// with a namespace of functions bound as methods and properties. Instances
// have an ordinary __dict__ besides, and take part in garbage collection
// like any Python object; a class whose state is C++ takes a bound
// nb::class_ as its base and shows that state through properties.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace tarvex::kernel {

namespace nb = nanobind;

// The C++ object of `obj`: an instance of the bound class `type`, or of a
// subclass, whose __init__ has run. TypeError for anything else.
template <typename T>
T &state_of(nb::handle obj, PyTypeObject *type) {
    if (!PyObject_TypeCheck(obj.ptr(), type) || !nb::inst_ready(obj)) {
        PyErr_Format(PyExc_TypeError, "expected an initialized %.200s, got %.200s", type->tp_name,
                     Py_TYPE(obj.ptr())->tp_name);
        throw nb::python_error();
    }
    return *nb::inst_ptr<T>(obj);
}

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

    // A property whose setter takes `self` and the value (and whose deleter,
    // when there is one, takes `self`).
    template <typename Getter, typename Setter, typename... Deleter>
    ClassBuilder &property(const char *name, Getter &&getter, Setter &&setter, Deleter &&...deleter) {
        static_assert(sizeof...(Deleter) <= 1);
        nb::object fget = nb::cpp_function(std::forward<Getter>(getter), nb::is_method(), nb::name(name));
        nb::object fset = nb::cpp_function(std::forward<Setter>(setter), nb::is_method(), nb::name(name),
                                           nb::arg("value").none());
        return attr(name, builtin_property()(
                              fget, fset,
                              nb::cpp_function(std::forward<Deleter>(deleter), nb::is_method(), nb::name(name))...));
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
