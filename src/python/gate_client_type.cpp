// gate_client_type.cpp: GateClient, one connection to a gate server behind a lock.
//
// Arguments are converted and the request text (with its decision tag) is built
// under the interpreter lock. The exchange then runs with the interpreter lock
// released, under the connection lock; neither is waited for while the other is
// held, except in the one case argued at ReleasedInterpreter. Construction resolves
// and connects with the interpreter lock held.
//
// A socket call interrupted by a signal runs the interpreter's signal handlers; if
// one raises, the call is given up and its exception is raised as it stands
// (KeyboardInterrupt for Ctrl-C), otherwise the socket call goes on.
// Windows Sockets never cut a blocking call short (socket_calls_windows.cpp): there,
// as with Python's own sockets, KeyboardInterrupt comes once the call has returned.
#include "python/gate_client_type.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/connection.h"
#include "client/interruption.h"
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

constexpr const char* kReenteredMessage =
    "gate connection busy: a signal handler called the client whose call it interrupted";

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

// The verdict the server gave or its failure text, once the interpreter lock is back;
// nullopt when a signal handler's exception ended the call (it is set already).
struct ExchangeOutcome {
    Interruptible<std::string> reply;
};

PyObject* raise_runtime_error(const std::string& message) {
    PyRef text = PyRef::steal(must(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
    PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
}

PyObject* to_python(ExchangeOutcome outcome) {
    if (!outcome.reply) return fail_from_interpreter();
    if (*outcome.reply) return new_verdict(outcome.reply->value());
    return raise_runtime_error(outcome.reply->error());
}

// The clients whose exchange this thread is inside, innermost first. Signal handlers
// (and whatever else the interpreter runs when it checks for signals) run inside an
// exchange with its connection lock held; a call they make on that same client
// would wait for that lock forever, so it is refused instead.
class ActiveExchange {
public:
    explicit ActiveExchange(const ClientState& state) noexcept : state_(&state), outer_(innermost_) {
        innermost_ = this;
    }
    ActiveExchange(const ActiveExchange&) = delete;
    ActiveExchange& operator=(const ActiveExchange&) = delete;
    ~ActiveExchange() { innermost_ = outer_; }

    static bool includes(const ClientState& state) noexcept {
        for (const ActiveExchange* active = innermost_; active != nullptr; active = active->outer_) {
            if (active->state_ == &state) return true;
        }
        return false;
    }

private:
    const ClientState* state_;
    ActiveExchange* outer_;
    static thread_local ActiveExchange* innermost_;
};

thread_local ActiveExchange* ActiveExchange::innermost_ = nullptr;

// Releases the interpreter lock for an exchange and serves as its InterruptCheck.
//
// The check takes the interpreter lock back while the connection lock is held, the
// one exception to the lock order. It cannot deadlock: no thread ever waits for a
// connection lock while holding the interpreter lock. Methods release the
// interpreter lock before they wait for the connection lock; construction and
// deallocation take no connection lock; and a call from inside the check on the
// client being exchanged on (by a signal handler, in the same thread) is refused
// by ActiveExchange before it would wait. So the thread holding the interpreter
// lock always gives it up again without needing this connection.
//
// Taking the lock back for good is a plain call, not a destructor: at interpreter
// shutdown it ends this thread by unwinding, which a destructor (implicitly
// noexcept) would turn into std::terminate.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() : saved_(PyEval_SaveThread()) {}
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // True when a signal handler raised: its exception is then set in this thread.
    bool operator()() {
        // Cleared first: if retaking ends the thread, retake() must not try again
        // (a second end while the first unwinds aborts the process).
        released_ = false;
        PyEval_RestoreThread(saved_);
        const bool raised = PyErr_CheckSignals() != 0;
        saved_ = PyEval_SaveThread();
        released_ = true;
        return raised;
    }

    void retake() {
        if (released_) {
            released_ = false;
            PyEval_RestoreThread(saved_);
        }
    }

private:
    PyThreadState* saved_;
    bool released_ = true;
};

Interruptible<std::string> locked_exchange(ClientState& state, std::string_view request,
                                           std::string_view run_id, InterruptCheck interrupted) {
    return state.lock.run_locked([&] {
        test_hooks::fault_under_lock(run_id);
        return state.connection.exchange(request, interrupted);
    });
}

ExchangeOutcome run_exchange(ClientState& state, std::string_view request,
                             std::string_view run_id = {}) {
    if (ActiveExchange::includes(state)) return {Failure{kReenteredMessage}};
    const ActiveExchange active(state);
    ReleasedInterpreter interpreter;
    std::optional<Interruptible<std::string>> reply;
    try {
        reply.emplace(locked_exchange(state, request, run_id, interpreter));
    } catch (...) {
        interpreter.retake();
        throw;
    }
    interpreter.retake();
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
    // The interpreter lock is held throughout construction, so the handlers can run
    // right here.
    auto signal_handlers_raised = [] { return PyErr_CheckSignals() != 0; };
    Interruptible<Connection> connected = Connection::open(addr, signal_handlers_raised);
    if (!connected) return fail_from_interpreter();  // the handler's exception, as raised
    if (!*connected) {
        std::string message = "connect ";
        message += addr;
        message += " failed: ";
        message += connected->error();
        return raise_runtime_error(message);
    }
    return create_instance<GateClientObject>(type, std::move(secret),
                                             std::move(*connected).value());
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
