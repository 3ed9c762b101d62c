// Python classes made from C++ functions: `type(name, bases, namespace)`
// with a namespace of functions bound as methods and properties. Instances
// have an ordinary __dict__ besides, and take part in garbage collection
// like any Python object; a class whose state is C++ takes a bound
// nb::class_ as its base and shows that state through properties.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <utility>

namespace tarvex::kernel {

namespace nb = nanobind;

// TypeError: `obj` is not an instance of `type` (or not an initialized one).
[[noreturn]] void raise_not_instance(nb::handle obj, PyTypeObject *type);

// The C++ object of `obj`: an instance of the bound class `type`, or of a
// subclass, whose __init__ has run. TypeError for anything else.
template <typename T>
T &state_of(nb::handle obj, PyTypeObject *type) {
    if (!PyObject_TypeCheck(obj.ptr(), type) || !nb::inst_ready(obj))
        raise_not_instance(obj, type);
    return *nb::inst_ptr<T>(obj);
}

// state_of for the __init__ of a subclass made with ClassBuilder: the C++
// object is made the first time, and the same one is kept when __init__
// runs again.
template <typename T>
T &make_state(nb::handle obj, PyTypeObject *type) {
    if (!PyObject_TypeCheck(obj.ptr(), type))
        raise_not_instance(obj, type);
    if (!nb::inst_ready(obj)) {
        new (nb::inst_ptr<T>(obj)) T();
        nb::inst_mark_ready(obj);
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
        return attr(name, builtin_property()(fget, fset,
                                             nb::cpp_function(std::forward<Deleter>(deleter), nb::is_method(),
                                                              nb::name(name))...));
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
