// request.h: one request line read into a typed request, or the reason it cannot be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/grant.h"
#include "support/result.h"

namespace latchwork::server {

enum class Operation : std::uint8_t {
    ping,
    submit,
    decide,
    cancel,
    close_run,
    is_cancelled,
    is_closed,
    pending_count,
    state_len,
    // The attempt that took a release records what performing the effect produced.
    complete,
    // A person revoking a grant (the console only; never read from the line).
    revoke_grant,
};

// Whether an operation names a run (all but ping and the two counts), and an effect
// of it (submit, decide and complete).
constexpr bool names_run(Operation op) noexcept {
    return op != Operation::ping && op != Operation::pending_count && op != Operation::state_len &&
           op != Operation::revoke_grant;
}
constexpr bool names_effect(Operation op) noexcept {
    return op == Operation::submit || op == Operation::decide || op == Operation::complete;
}

// The name of an operation as the line protocol spells it.
std::string_view operation_name(Operation op) noexcept;

struct Request {
    Operation op = Operation::ping;
    std::string run_id;      // every operation but ping and the two counts
    std::string effect_key;  // submit and decide
    bool flag = false;       // submit: needs_approval (false when absent); decide: approved
    // decide: the "mac" member when it is a string. Any other value counts as no tag,
    // which a server holding a secret refuses and one without ignores.
    std::optional<std::string> mac;
    // submit: what the effect is, as canonical compact JSON (detail_json.h). decide (the
    // console, approving): the detail as the approver approves it, maybe changed.
    std::optional<std::string> detail;
    // submit: the members of the detail an approver may change, as JSON Pointers
    // (detail_edit.h); absent: none, and the submitter cannot take a changed detail.
    std::optional<std::vector<std::string>> editable;
    // submit: how long a reply of held_for_approval may wait for the effect to be
    // decided, in milliseconds; absent or 0: it does not wait.
    std::uint64_t wait_ms = 0;
    // decide (the console, approving an effect a grantable rule held): the grant to
    // remember with the approval.
    std::optional<GrantAsk> remember;
    // revoke_grant: the grant's id.
    std::string grant_id;
    // submit (optional) and complete: the caller's name for one logical call, the same
    // on each of its retries; 1 to kMaxAttemptBytes bytes.
    std::optional<std::string> attempt;
    // complete: what performing the effect produced, as canonical compact JSON.
    std::string result;
};

inline constexpr std::size_t kMaxAttemptBytes = 128;

// What a request may hold beyond what the line cap bounds.
struct RequestLimits {
    // Bytes of a run id or an effect key. Every id the gate keeps is copied into its
    // ledger, its store and its audit log, so the line cap (1 MiB) is far too loose.
    std::size_t max_id_bytes = 4096;
    // Bytes of a submit's detail in canonical form.
    std::size_t max_detail_bytes = 16 * 1024;
    // The longest wait_ms a submit may ask for.
    std::uint64_t max_wait_ms = 15 * 60 * 1000;
    // Bytes of a complete's result in canonical form.
    std::size_t max_result_bytes = 64 * 1024;
};

// Reads one request line (without its line feed; a trailing carriage return is JSON
// white space). Members the operation does not use, and unknown ones, are ignored;
// of a repeated member the last counts. A failure carries the fixed message of
// request_errors.h for the first fault found, in this order: UTF-8, JSON syntax,
// not an object, "op" missing, not a string or unknown, then the operation's members
// in the order run_id, effect_key, needs_approval/approved. A run id or effect key is
// refused, as soon as it is read, when it is longer than `limits` allow.
Result<Request> parse_request(std::string_view line, const RequestLimits& limits = {});

// With decisions authenticated, the message that refuses a request whose run id or
// effect key holds a line feed (run_id first), or nullopt. The decision tag joins the
// two ids with line feeds unescaped, so only ids without one bind a tag to one effect.
std::optional<std::string> refuse_line_feed_ids(const Request& request);

}  // namespace latchwork::server
