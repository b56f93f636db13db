// gate_client_type.cpp: GateClient, one connection to a gate server behind a lock.
//
// Arguments are converted and the request text (with its decision tag) is built
// under the interpreter lock. The exchange then runs with the interpreter lock
// released, under the connection lock; the two are never awaited while the other is
// held. Construction resolves and connects with the interpreter lock held.
#include "python/gate_client_type.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/connection.h"
#include "client/request_encoder.h"
#include "hmac/decision_tag.h"
#include "python/call_frame.h"
#include "python/py_ref.h"
#include "python/type_cell.h"
#include "python/verdict_type.h"
#include "support/poison_mutex.h"
#include "support/test_hooks.h"

namespace latchwork {
namespace {

struct ClientState {
    ClientState(std::optional<SecretBytes> secret, Connection connection)
        : secret(std::move(secret)), connection(std::move(connection)) {}

    const std::optional<SecretBytes> secret;  // never changes after construction
    Poisonable<std::mutex> lock;
    Connection connection;  // guarded by lock
};

struct GateClientObject {
    PyObject_HEAD
    ClientState native;

    static constexpr const char* kClassName = "GateClient";
    static PyTypeObject* type();
};

// The verdict the server gave, or its failure text, once the interpreter lock is back.
struct ExchangeOutcome {
    Result<std::string> reply;
};

PyObject* to_python(ExchangeOutcome outcome) {
    if (outcome.reply) return new_verdict(outcome.reply.value());
    const std::string& message = outcome.reply.error();
    PyRef text = PyRef::steal(must(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
    PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
}

Result<std::string> locked_exchange(ClientState& state, std::string_view request,
                                    std::string_view run_id) {
    return state.lock.run_locked([&] {
        test_hooks::fault_under_lock(run_id);
        return state.connection.exchange(request);
    });
}

// The exchange runs without the interpreter lock. Taking it back is a plain call,
// not a destructor: at interpreter shutdown it ends this thread by unwinding, which
// a destructor (implicitly noexcept) would turn into std::terminate.
ExchangeOutcome run_exchange(ClientState& state, std::string_view request,
                             std::string_view run_id = {}) {
    PyThreadState* saved = PyEval_SaveThread();
    std::optional<Result<std::string>> reply;
    try {
        reply.emplace(locked_exchange(state, request, run_id));
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
    PyEval_RestoreThread(saved);
    return {std::move(*reply)};
}

ExchangeOutcome submit(GateClientObject& client, std::string_view run_id,
                       std::string_view effect_key, bool needs_approval) {
    const std::string request = encode_submit(run_id, effect_key, needs_approval);
    return run_exchange(client.native, request, run_id);
}

ExchangeOutcome decide(GateClientObject& client, std::string_view run_id,
                       std::string_view effect_key, bool approved) {
    std::optional<std::string> mac;
    if (client.native.secret) {
        mac = compute_decision_tag(client.native.secret->view(), run_id, effect_key, approved);
    }
    const std::string request = encode_decide(run_id, effect_key, approved, mac);
    return run_exchange(client.native, request, run_id);
}

ExchangeOutcome cancel(GateClientObject& client, std::string_view run_id) {
    const std::string request = encode_cancel(run_id);
    return run_exchange(client.native, request, run_id);
}

ExchangeOutcome ping(GateClientObject& client) { return run_exchange(client.native, kPingRequest); }

PyObject* construct(PyTypeObject* type, std::string_view addr,
                    std::optional<SecretBytes>& secret) {
    Result<Connection> connected = Connection::open(addr);
    if (!connected) {
        std::string message = "connect ";
        message += addr;
        message += " failed: ";
        message += connected.error();
        PyRef text = PyRef::steal(must(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
        PyErr_SetObject(PyExc_RuntimeError, text.get());
        return nullptr;
    }
    return create_instance<GateClientObject>(type, std::move(secret),
                                             std::move(connected).value());
}

constexpr const char kDefaultAddress[] = "127.0.0.1:8796";

constexpr const char* kAddrSecret[] = {"addr", "secret"};
constexpr const char* kRunEffectFlag[] = {"run_id", "effect_key", "needs_approval"};
constexpr const char* kRunEffectApproved[] = {"run_id", "effect_key", "approved"};
constexpr const char* kRunOnly[] = {"run_id"};

constexpr ParamSpec kNewSpec{"GateClient.__new__()", kAddrSecret, 0};
constexpr ParamSpec kSubmitSpec{"GateClient.submit()", kRunEffectFlag, 2};
constexpr ParamSpec kDecideSpec{"GateClient.decide()", kRunEffectApproved, 3};
constexpr ParamSpec kCancelSpec{"GateClient.cancel()", kRunOnly, 1};

template <const ParamSpec& Spec, auto Operation, class... Params>
PyCFunction client_method() {
    return fastcall_method<GateClientObject, Spec, Operation, Params...>();
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef gate_client_methods[] = {
    {"submit", client_method<kSubmitSpec, submit, TextParam, TextParam, FlagParamOrFalse>(), kArgs,
     "submit($self, run_id, effect_key, needs_approval=False)\n--\n\n"},
    {"decide", client_method<kDecideSpec, decide, TextParam, TextParam, FlagParam>(), kArgs,
     "decide($self, run_id, effect_key, approved)\n--\n\n"},
    {"cancel", client_method<kCancelSpec, cancel, TextParam>(), kArgs,
     "cancel($self, run_id)\n--\n\n"},
    {"ping", noargs_entry<GateClientObject, ping>, METH_NOARGS, "ping($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot gate_client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(
                    constructor_entry<kNewSpec, construct, TextParamOr<kDefaultAddress>,
                                      OptionalSecretParam>)},
    {Py_tp_methods, gate_client_methods},
    // Closes the socket without sending anything and wipes the secret.
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GateClientObject>)},
};

const ClassSpec gate_client_class{
    "GateClient", "latchwork.GateClient",
    "GateClient(addr=\"127.0.0.1:8796\", secret=None)\n--\n\n",
    static_cast<int>(sizeof(GateClientObject)), gate_client_slots};
TypeCell gate_client_cell(gate_client_class);

PyTypeObject* GateClientObject::type() { return gate_client_cell.get(); }

}  // namespace

PyObject* gate_client_type_for_registration() { return gate_client_cell.get_or_create(); }

}  // namespace latchwork
