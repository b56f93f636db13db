// request_parser.cpp: one request line read into a typed request, or the reason it cannot be.
#include <array>
#include <utility>

#include "wire/json_reader.h"
#include "wire/utf8.h"
#include "server/core/request.h"
#include "server/core/request_errors.h"

namespace latchwork::server {
namespace {

// Slots of the members read from a request, in this order.
enum Slot : std::size_t { kOp, kRunId, kEffectKey, kNeedsApproval, kApproved, kMac, kSlotCount };
constexpr std::array<std::string_view, kSlotCount> kMemberNames = {
    "op", "run_id", "effect_key", "needs_approval", "approved", "mac"};

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
    return "unknown";
}

}  // namespace latchwork::server
