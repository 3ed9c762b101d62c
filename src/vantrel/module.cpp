// The object bridge: wire values, the request channel and Office.js proxies.
#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "vantrel/dates.hpp"
#include "vantrel/messaging.hpp"
#include "vantrel/proxies.hpp"
#include "vantrel/refs.hpp"
#include "vantrel/wire.hpp"
#include "vantrel/wire_json.hpp"

namespace nb = nanobind;

NB_MODULE(vantrel, m) {
    tarvex::register_coro_type(m);

    // The wire format recognises their types; the bridge needs both.
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("dt") = nb::module_::import_("datetime");
    m.attr("base64") = nb::module_::import_("base64");

    vantrel::init_refs(m);
    vantrel::init_dates();
    vantrel::init_serializer(m);
    vantrel::init_wire_json(m);
    vantrel::init_messaging(m);  // proxies read its generation when built
    vantrel::init_proxies(m);

    m.attr("__all__") = nb::make_tuple("Serializer", "Messaging", "messaging", "OfficeJsObject",
                                       "OfficeJsArray", "OfficeJsDict", "Context", "Excel", "GetSetting");
}
