// decided_by.cpp: who settled an effect a person tried to decide, read from the audit log.
#include "server/console/decided_by.h"

#include "server/console/awaited_read.h"
#include "server/core/decider_name.h"
#include "server/core/effect_state_text.h"

namespace latchwork::server {
namespace json = boost::json;

namespace {

// How many of an effect's newest entries are searched: a hold, its decision and its
// taking, with room for repeated line-protocol refusals.
constexpr std::size_t kEntriesSearched = 64;

bool brings_about(const AuditEntry& entry, EffectState state) {
    switch (state) {
        case EffectState::approved:
            return entry.event == AuditEvent::decided && entry.verdict == "approved";
        case EffectState::released:
            return entry.event == AuditEvent::taken ||
                   (entry.event == AuditEvent::decided && entry.verdict == "release");
        case EffectState::rejected:
            return entry.event == AuditEvent::expired ||
                   (entry.event == AuditEvent::decided && entry.verdict == "refused_rejected");
        case EffectState::pending:
            return false;  // not settled
    }
    return false;
}

}  // namespace

const AuditEntry* settling_entry(std::span<const AuditEntry> newest_first,
                                 std::string_view state) {
    // "cancelled", "closed" or "unknown": no entry of the effect's own tells who.
    const std::optional<EffectState> settled = effect_state_from_text(state);
    if (!settled) return nullptr;
    const AuditEntry* found = nullptr;
    for (const AuditEntry& entry : newest_first) {
        if (entry.event == AuditEvent::held) break;  // what came before is an older hold's
        if (brings_about(entry, *settled)) found = &entry;
    }
    return found;
}

boost::asio::awaitable<json::object> already_decided_body(Store& store, const std::string& run_id,
                                  const std::string& effect_key, std::string_view state) {
    json::object body{{"error", "already decided"},
                      {"state", state},
                      {"decided_by", nullptr},
                      {"decided_at", nullptr},
                      {"reason", nullptr},
                      {"taken_by", nullptr}};
    AuditQuery query;
    query.run = run_id;
    query.effect = effect_key;
    query.newest_first = true;
    query.limit = kEntriesSearched;
    // The state alone is the answer's substance: a log that cannot be read leaves
    // only who and when unknown.
    Result<std::vector<AuditEntry>> entries = co_await awaited_read<std::vector<AuditEntry>>(
        [&](auto done) { store.async_read_audit(query, std::move(done)); });
    if (!entries) co_return body;
    const AuditEntry* settled = settling_entry(entries.value(), state);
    if (settled != nullptr && settled->event == AuditEvent::taken) {
        // Released by its worker taking a person's approval: the person decided it,
        // the worker only took it.
        body["taken_by"] = settled->source;
        settled = settling_entry(entries.value(), effect_state_text(EffectState::approved));
    }
    if (settled != nullptr) {
        body["decided_by"] = decider_name(settled->source);
        body["decided_at"] = settled->at_ms;
        body["reason"] = settled->reason;
    }
    co_return body;
}

}  // namespace latchwork::server
