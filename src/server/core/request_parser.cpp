// request_parser.cpp: one request line read into a typed request, or the reason it cannot be.
#include <array>
#include <utility>

#include "wire/json_reader.h"
#include "wire/json_string.h"
#include "wire/utf8.h"
#include "server/core/detail_edit.h"
#include "server/core/detail_json.h"
#include "server/core/request.h"
#include "server/core/request_errors.h"

namespace latchwork::server {
namespace {

// Slots of the members read from a request, in this order.
enum Slot : std::size_t {
    kOp, kRunId, kEffectKey, kNeedsApproval, kApproved, kMac, kDetail, kWaitMs, kAttempt, kResult, kEditable, kSlotCount
};
constexpr std::array<std::string_view, kSlotCount> kMemberNames = {
    "op", "run_id", "effect_key", "needs_approval", "approved", "mac", "detail", "wait_ms", "attempt", "result",
    "editable"};

struct OperationName {
    std::string_view name;
    Operation op;
};
constexpr OperationName kOperations[] = {
    {"ping", Operation::ping},
    {"submit", Operation::submit},
    {"decide", Operation::decide},
    {"cancel", Operation::cancel},
    {"close_run", Operation::close_run},
    {"is_cancelled", Operation::is_cancelled},
    {"is_closed", Operation::is_closed},
    {"pending_count", Operation::pending_count},
    {"state_len", Operation::state_len},
    {"complete", Operation::complete},
};

using Values = std::vector<std::optional<MemberValue>>;

// A required string member, moved out of the read values.
Result<std::string> take_string(Values& values, Slot slot) {
    std::optional<MemberValue>& value = values[slot];
    if (!value) return Failure{missing_member_message(kMemberNames[slot])};
    if (value->type != MemberValue::Type::string) {
        return Failure{not_string_message(kMemberNames[slot])};
    }
    return std::move(value->text);
}

// A run id or effect key: a string no longer than the limit.
Result<std::string> take_id(Values& values, Slot slot, const RequestLimits& limits) {
    Result<std::string> id = take_string(values, slot);
    if (id && id.value().size() > limits.max_id_bytes) {
        return Failure{id_too_long_message(kMemberNames[slot], limits.max_id_bytes)};
    }
    return id;
}

// A boolean member; absent gives `fallback`, or a failure when there is none.
Result<bool> take_boolean(const Values& values, Slot slot, std::optional<bool> fallback) {
    const std::optional<MemberValue>& value = values[slot];
    if (!value) {
        if (fallback) return *fallback;
        return Failure{missing_member_message(kMemberNames[slot])};
    }
    if (value->type != MemberValue::Type::boolean) {
        return Failure{not_boolean_message(kMemberNames[slot])};
    }
    return value->flag;
}

// wait_ms: a whole number of milliseconds up to the limit, written without a
// fraction or exponent.
Result<std::uint64_t> take_wait_ms(const Values& values, const RequestLimits& limits) {
    const std::optional<MemberValue>& value = values[kWaitMs];
    if (!value) return std::uint64_t{0};
    const std::string_view text = value->raw;
    std::uint64_t ms = 0;
    bool whole = value->type == MemberValue::Type::other && !text.empty() &&
                 text.find_first_not_of("0123456789") == std::string_view::npos &&
                 text.size() <= 19;
    if (whole) {
        for (const char digit : text) ms = ms * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    if (!whole || ms > limits.max_wait_ms) return Failure{wait_ms_message(limits.max_wait_ms)};
    return ms;
}

// attempt: absent (nullopt), or a string of 1 to kMaxAttemptBytes bytes.
Result<std::optional<std::string>> take_attempt(Values& values, bool required) {
    std::optional<MemberValue>& value = values[kAttempt];
    if (!value) {
        if (required) return Failure{missing_member_message("attempt")};
        return std::optional<std::string>();
    }
    if (value->type != MemberValue::Type::string || value->text.empty() || value->text.size() > kMaxAttemptBytes) {
        return Failure{attempt_message(kMaxAttemptBytes)};
    }
    return std::optional<std::string>(std::move(value->text));
}

// result: any JSON value, in canonical form.
Result<std::string> take_result(Values& values, const RequestLimits& limits) {
    const std::optional<MemberValue>& value = values[kResult];
    if (!value) return Failure{missing_member_message("result")};
    std::string canonical;
    switch (value->type) {
        case MemberValue::Type::string: append_json_string(canonical, value->text); break;
        case MemberValue::Type::boolean: canonical = value->flag ? "true" : "false"; break;
        case MemberValue::Type::other:
            if (value->raw.empty()) {
                canonical = "null";
                break;
            }
            return canonical_result(value->raw, limits.max_result_bytes);
    }
    if (canonical.size() > limits.max_result_bytes) return Failure{result_too_long_message(limits.max_result_bytes)};
    return canonical;
}

}  // namespace

Result<Request> parse_request(std::string_view line, const RequestLimits& limits) {
    if (!is_valid_utf8(line)) return Failure{not_utf8_message()};
    Result<TopLevelMembers> read = read_top_level_members(line, kMemberNames);
    if (!read) return Failure{not_json_message(read.error())};
    TopLevelMembers& members = read.value();
    if (!members.is_object) return Failure{not_object_message()};
    Values& values = members.values;

    Result<std::string> op_name = take_string(values, kOp);
    if (!op_name) return std::move(op_name).take_failure();
    Request request;
    bool known = false;
    for (const OperationName& entry : kOperations) {
        if (entry.name == op_name.value()) {
            request.op = entry.op;
            known = true;
        }
    }
    if (!known) return Failure{unknown_op_message(op_name.value())};

    if (names_run(request.op)) {
        Result<std::string> run_id = take_id(values, kRunId, limits);
        if (!run_id) return std::move(run_id).take_failure();
        request.run_id = std::move(run_id).value();
    }
    if (names_effect(request.op)) {
        Result<std::string> effect_key = take_id(values, kEffectKey, limits);
        if (!effect_key) return std::move(effect_key).take_failure();
        request.effect_key = std::move(effect_key).value();
    }
    if (request.op == Operation::submit || request.op == Operation::decide) {
        // A submission without needs_approval needs none, as with the in-process gate;
        // a decision must say which way it goes.
        const bool submit = request.op == Operation::submit;
        Result<bool> flag = submit ? take_boolean(values, kNeedsApproval, false)
                                   : take_boolean(values, kApproved, std::nullopt);
        if (!flag) return std::move(flag).take_failure();
        request.flag = flag.value();
    }
    if (request.op == Operation::submit) {
        if (const std::optional<MemberValue>& detail = values[kDetail]) {
            // A string, boolean or null detail has no text kept; it is no object either.
            Result<std::string> canonical =
                detail->raw.empty() ? Result<std::string>(Failure{not_object_member_message("detail")})
                                    : canonical_detail(detail->raw, limits.max_detail_bytes);
            if (!canonical) return std::move(canonical).take_failure();
            request.detail = std::move(canonical).value();
        }
        Result<std::uint64_t> wait_ms = take_wait_ms(values, limits);
        if (!wait_ms) return std::move(wait_ms).take_failure();
        request.wait_ms = wait_ms.value();
        if (const std::optional<MemberValue>& editable = values[kEditable]) {
            Result<std::vector<std::string>> pointers =
                read_editable(editable->raw.empty() ? std::string_view("null") : editable->raw);
            if (!pointers) return std::move(pointers).take_failure();
            request.editable = std::move(pointers).value();
        }
    }
    if (request.op == Operation::submit || request.op == Operation::complete) {
        Result<std::optional<std::string>> attempt = take_attempt(values, request.op == Operation::complete);
        if (!attempt) return std::move(attempt).take_failure();
        request.attempt = std::move(attempt).value();
    }
    if (request.op == Operation::complete) {
        Result<std::string> result = take_result(values, limits);
        if (!result) return std::move(result).take_failure();
        request.result = std::move(result).value();
    }
    if (request.op == Operation::decide && values[kMac] &&
        values[kMac]->type == MemberValue::Type::string) {
        request.mac = std::move(values[kMac]->text);
    }
    return request;
}

std::optional<std::string> refuse_line_feed_ids(const Request& request) {
    if (request.run_id.find('\n') != std::string::npos) return line_feed_id_message("run_id");
    if (request.effect_key.find('\n') != std::string::npos) {
        return line_feed_id_message("effect_key");
    }
    return std::nullopt;
}

std::string_view operation_name(Operation op) noexcept {
    for (const OperationName& entry : kOperations) {
        if (entry.op == op) return entry.name;
    }
    if (op == Operation::revoke_grant) return "revoke_grant";  // not a line operation
    return "unknown";
}

}  // namespace latchwork::server
