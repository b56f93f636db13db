// gate_type.cpp: Gate, a run ledger behind a poisonable state lock.
//
// Every method converts its arguments first, then does all of its ledger work under
// one holding of the state lock, and builds its result after releasing it. The
// interpreter lock is kept throughout, so no Python code can run while the state
// lock is held.
#include "python/gate_type.h"

#include <cstdint>
#include <string_view>

#include "gate/gate_operations.h"
#include "python/call_frame.h"
#include "python/type_cell.h"
#include "python/verdict_type.h"
#include "support/poison_mutex.h"
#include "support/test_hooks.h"

namespace latchwork {
namespace {

struct GateState {
    Poisonable<SpinLock> lock;
    RunLedger ledger;  // guarded by lock
};

struct GateObject {
    PyObject_HEAD
    GateState native;

    static constexpr const char* kClassName = "Gate";
    static PyTypeObject* type();
};

// Runs `work` on the ledger under the state lock.
template <class Work>
auto with_ledger(GateObject& gate, std::string_view run_id, Work&& work) {
    return gate.native.lock.run_locked([&] {
        test_hooks::fault_under_lock(run_id);
        return work(gate.native.ledger);
    });
}

VerdictKind submit(GateObject& gate, std::string_view run_id, std::string_view effect_key,
                   bool needs_approval) {
    return with_ledger(gate, run_id, [&](RunLedger& ledger) {
        return gate_submit(ledger, run_id, effect_key, needs_approval);
    });
}

VerdictKind decide(GateObject& gate, std::string_view run_id, std::string_view effect_key,
                   bool approved) {
    return with_ledger(gate, run_id, [&](RunLedger& ledger) {
        return gate_decide(ledger, run_id, effect_key, approved);
    });
}

NoResult cancel(GateObject& gate, std::string_view run_id) {
    with_ledger(gate, run_id, [&](RunLedger& ledger) { gate_cancel(ledger, run_id); });
    return {};
}

NoResult close_run(GateObject& gate, std::string_view run_id) {
    with_ledger(gate, run_id, [&](RunLedger& ledger) { gate_close_run(ledger, run_id); });
    return {};
}

bool is_cancelled(GateObject& gate, std::string_view run_id) {
    return with_ledger(gate, run_id,
                       [&](RunLedger& ledger) { return gate_is_cancelled(ledger, run_id); });
}

bool is_closed(GateObject& gate, std::string_view run_id) {
    return with_ledger(gate, run_id,
                       [&](RunLedger& ledger) { return gate_is_closed(ledger, run_id); });
}

std::uint64_t pending_count(GateObject& gate) {
    return with_ledger(gate, {}, [](RunLedger& ledger) { return ledger.pending_count(); });
}

std::uint64_t state_len(GateObject& gate) {
    return with_ledger(gate, {}, [](RunLedger& ledger) { return ledger.state_len(); });
}

PyObject* construct(PyTypeObject* type) { return create_instance<GateObject>(type); }

void gate_dealloc(PyObject* self) noexcept {
    dealloc_boundary([self] {
        const bool inject =
            test_hooks::kEnabled &&
            gate_is_closed(reinterpret_cast<GateObject*>(self)->native.ledger,
                           test_hooks::kFaultOnDealloc);
        destroy_native<GateObject>(self);
        if (inject) throw InternalFault("injected fault during deallocation");
    });
    free_own_instance<GateObject>(self);
}

constexpr const char* kRunEffectFlag[] = {"run_id", "effect_key", "needs_approval"};
constexpr const char* kRunEffectApproved[] = {"run_id", "effect_key", "approved"};
constexpr const char* kRunOnly[] = {"run_id"};

constexpr ParamSpec kNewSpec{"Gate.__new__()", {}, 0};
constexpr ParamSpec kSubmitSpec{"Gate.submit()", kRunEffectFlag, 2};
constexpr ParamSpec kDecideSpec{"Gate.decide()", kRunEffectApproved, 3};
constexpr ParamSpec kCancelSpec{"Gate.cancel()", kRunOnly, 1};
constexpr ParamSpec kCloseRunSpec{"Gate.close_run()", kRunOnly, 1};
constexpr ParamSpec kIsCancelledSpec{"Gate.is_cancelled()", kRunOnly, 1};
constexpr ParamSpec kIsClosedSpec{"Gate.is_closed()", kRunOnly, 1};

template <const ParamSpec& Spec, auto Operation, class... Params>
PyCFunction gate_method() {
    return fastcall_method<GateObject, Spec, Operation, Params...>();
}

template <auto Operation>
PyCFunction gate_noargs() {
    return noargs_entry<GateObject, Operation>;
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef gate_methods[] = {
    {"submit", gate_method<kSubmitSpec, submit, TextParam, TextParam, FlagParamOrFalse>(), kArgs,
     "submit($self, run_id, effect_key, needs_approval=False)\n--\n\n"},
    {"decide", gate_method<kDecideSpec, decide, TextParam, TextParam, FlagParam>(), kArgs,
     "decide($self, run_id, effect_key, approved)\n--\n\n"},
    {"cancel", gate_method<kCancelSpec, cancel, TextParam>(), kArgs,
     "cancel($self, run_id)\n--\n\n"},
    {"close_run", gate_method<kCloseRunSpec, close_run, TextParam>(), kArgs,
     "close_run($self, run_id)\n--\n\n"},
    {"is_cancelled", gate_method<kIsCancelledSpec, is_cancelled, TextParam>(), kArgs,
     "is_cancelled($self, run_id)\n--\n\n"},
    {"is_closed", gate_method<kIsClosedSpec, is_closed, TextParam>(), kArgs,
     "is_closed($self, run_id)\n--\n\n"},
    {"pending_count", gate_noargs<pending_count>(), METH_NOARGS, "pending_count($self)\n--\n\n"},
    {"state_len", gate_noargs<state_len>(), METH_NOARGS, "state_len($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot gate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor_entry<kNewSpec, construct>)},
    {Py_tp_methods, gate_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc)},
};

const ClassSpec gate_class{"Gate", "latchwork.Gate", "Gate()\n--\n\n",
                           static_cast<int>(sizeof(GateObject)), gate_slots};
TypeCell gate_cell(gate_class);

PyTypeObject* GateObject::type() { return gate_cell.get(); }

}  // namespace

PyObject* gate_type_for_registration() { return gate_cell.get_or_create(); }

}  // namespace latchwork
