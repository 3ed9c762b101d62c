#include "kernel/state/kernel_state.hpp"

#include "kernel/support/gc_slots.hpp"
#include "kernel/support/py_class.hpp"
#include "kernel/support/py_refs.hpp"

namespace tarvex::kernel {

namespace {

PyTypeObject *kernel_state_type = nullptr;

}  // namespace

KernelState::KernelState() : sys_requests(nb::dict(), nb::handle(refs.threading_Lock)()) {}

const nb::object &KernelState::pool_for(nb::handle source) const {
    bool from_editor = source.is_valid() && PyUnicode_Check(source.ptr()) &&
                       PyUnicode_CompareWithASCIIString(source.ptr(), "ide") == 0;
    return from_editor ? ide_pool : thread_pool;
}

int KernelState::traverse(visitproc visit, void *arg) {
    if (int r = Connection::traverse(visit, arg))
        return r;
    if (int r = sys_requests.traverse(visit, arg))
        return r;
    return visit_fields(visit, arg, workbook_id, server_url, executor, virtual_env, thread_pool, ide_pool,
                        stream_pool, analysis_pool, lexora, agent, event_manager, object_keeper,
                        object_keeper_lock, orphan_responses, release_ids, canceled_streams, canceled_order,
                        startup_packages, original_stdout, original_stderr, debugger);
}

void KernelState::clear() {
    Connection::clear();
    sys_requests.clear();
    nb::object unset = std::move(debugger);
    release_fields(workbook_id, server_url, executor, virtual_env, thread_pool, ide_pool, stream_pool,
                   analysis_pool, lexora, agent, event_manager, object_keeper, object_keeper_lock,
                   orphan_responses, release_ids, canceled_streams, canceled_order, startup_packages,
                   original_stdout, original_stderr);
}

KernelState &kernel_state(nb::handle kernel) { return state_of<KernelState>(kernel, kernel_state_type); }

KernelState &make_kernel_state(nb::handle kernel) {
    return make_state<KernelState>(kernel, kernel_state_type);
}

nb::object KernelState::active_debugger() const { return debugger.is_valid() ? debugger : nb::none(); }

void KernelState::forget_debugger(nb::handle stopped) {
    if (debugger.is(stopped))
        debugger = nb::none();
}

nb::handle define_kernel_state(nb::module_ &m) {
    nb::class_<KernelState, Connection> cls(m, "_KernelState", nb::type_slots(GcSlots<KernelState>::slots),
                                            "The state of a PythonKernel, kept in C++.");
    kernel_state_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    return cls;
}

}  // namespace tarvex::kernel
