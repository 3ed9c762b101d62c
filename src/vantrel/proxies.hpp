// Proxies for objects that live in the Office.js add-in: OfficeJsObject,
// and the collection proxies OfficeJsArray (a list) and OfficeJsDict (a
// dict) whose contents are held locally.
#pragma once

#include <nanobind/nanobind.h>

namespace vantrel {

namespace nb = nanobind;

// An OfficeJsObject (subclasses included)?
bool is_proxy_object(PyObject *value);

// New proxies, as the class constructors build them.
nb::object new_officejs_object(nb::handle object_id, nb::handle type_name);
nb::object new_officejs_array(nb::handle object_id);
nb::object new_officejs_dict(nb::handle object_id);

// The classes, the _cw__ functions, _internal_officejs_names and the root
// proxies Context, Excel and GetSetting (after `messaging` exists).
void init_proxies(nb::module_ &m);

}  // namespace vantrel
