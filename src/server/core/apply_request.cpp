// apply_request.cpp: the one decision step: a request applied to a ledger, with its reply, its changes and its audit entry.
#include "server/core/apply_request.h"

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <span>

#include "gate/gate_operations.h"
#include "server/core/decider_name.h"
#include "server/core/detail_edit.h"
#include "server/core/effect_state_text.h"
#include "server/core/reply_writer.h"
#include "server/core/request_errors.h"
#include "server/core/written_json.h"

namespace latchwork::server {

std::string_view effect_state_name(const RunLedger& ledger, std::string_view run_id,
                                   std::string_view effect_key) {
    if (const std::optional<EffectState> state = effect_state_in(ledger, run_id, effect_key)) {
        return effect_state_text(*state);
    }
    const RunRecord* run = ledger.find_run(run_id);
    if (run != nullptr && run->stopped()) return run->closed ? "closed" : "cancelled";
    return "unknown";
}

namespace {

// The rule that decides a submit of an effect its run has not decided, if any. A
// stopped run refuses the submit whatever the rules say.
std::optional<RuleOutcome> rule_for_new_effect(const RunLedger& ledger, const Request& request,
                                               const DecisionSource& source, const EffectRules* rules) {
    if (rules == nullptr) return std::nullopt;
    const RunRecord* run = ledger.find_run(request.run_id);
    if (run != nullptr && run->stopped()) return std::nullopt;
    NewEffect effect{request.run_id, request.effect_key, std::nullopt, std::nullopt};
    if (source.door == DecisionSource::Door::client) effect.client = source.who;
    if (request.detail) effect.detail = *request.detail;
    return rules->for_new_effect(effect);
}

// An entry about the request's effect, made now: the fields every such entry shares.
AuditEntry effect_entry(AuditEvent event, const Request& request, const DecisionClock& clock) {
    AuditEntry entry;
    entry.at_ms = clock.now_ms;
    entry.event = event;
    entry.run_id = request.run_id;
    entry.effect_key = request.effect_key;
    return entry;
}

// A release taken by `request` now, decided by `decided_by` (an audit source): what to
// keep with the effect. Kept when the submit carries an attempt or a person's approval
// is kept already (`approved`, which names the approver); else nothing.
std::optional<KeptRelease> kept_release(const Request& request, const KeptRelease* approved,
                                        std::string_view decided_by, const DecisionClock& clock) {
    if (!request.attempt && approved == nullptr) return std::nullopt;
    KeptRelease kept;
    if (approved != nullptr) kept = *approved;
    kept.run_id = request.run_id;
    kept.effect_key = request.effect_key;
    kept.attempt = request.attempt.value_or(std::string());
    kept.released_at_ms = clock.now_ms;
    if (approved == nullptr) kept.decided_by = std::string(decider_name(decided_by));
    return kept;
}

// The entry of a new effect decided at once, without a person: by a rule or a grant.
AuditEntry new_effect_decided(const Request& request, const ReplyVerdict& verdict, bool approved,
                              std::string source, std::string reason, const DecisionClock& clock) {
    AuditEntry entry = effect_entry(AuditEvent::decided, request, clock);
    entry.approved = approved;
    entry.verdict = std::string(verdict_text(verdict));
    entry.source = std::move(source);
    entry.reason = std::move(reason);
    entry.detail = request.detail.value_or(std::string());
    return entry;
}

// A new effect released or rejected by a rule: decided at once, and logged as a
// decision whose source is the rule.
Applied decided_by_rule(RunLedger& ledger, const Request& request, const RuleOutcome& ruled,
                        const DecisionClock& clock, std::vector<StateChange>& changes) {
    const bool release = ruled.action == RuleOutcome::Action::release;
    Applied applied;
    ReplyVerdict& verdict = applied.reply.verdict;
    if (release) {
        verdict = ReplyVerdict::of(recorded_submit(ledger, request.run_id, request.effect_key, false, changes,
                                                   std::string_view()));
        applied.reply.line = verdict_reply(verdict_text(verdict));
    } else {
        verdict = ReplyVerdict::of(recorded_decide(ledger, request.run_id, request.effect_key, false, changes));
        const std::string by = rule_source(ruled.rule);
        applied.reply.line = waited_reply(WaitedOutcome{verdict_text(verdict), by, ruled.reason, true, false});
    }
    applied.audit = new_effect_decided(request, verdict, release, rule_source(ruled.rule), std::string(ruled.reason),
                                       clock);
    if (release && verdict.is(VerdictKind::release)) {
        applied.kept = kept_release(request, nullptr, rule_source(ruled.rule), clock);
    }
    return applied;
}

// The effect as rules and grants are asked about it.
NewEffect new_effect_of(const Request& request, const DecisionSource& source) {
    NewEffect effect{request.run_id, request.effect_key, std::nullopt, std::nullopt};
    if (source.door == DecisionSource::Door::client) effect.client = source.who;
    if (request.detail) effect.detail = *request.detail;
    return effect;
}

// The live grant of the rule that would hold a new effect which covers it, if any; nullopt
// in the outer optional when the grants could not be read.
std::optional<std::optional<Grant>> covering_grant(const Request& request, const DecisionSource& source,
                                                   const RuleOutcome& ruled, const DecisionClock& clock,
                                                   const EffectRules& rules, GrantBook& grants) {
    std::optional<std::vector<Grant>> live = grants.live_grants(ruled.rule, clock.now_ms);
    if (!live) return std::nullopt;
    const NewEffect effect = new_effect_of(request, source);
    for (Grant& grant : *live) {
        if (grant.rule == ruled.rule && grant.live_at(clock.now_ms) && rules.grant_covers(grant, effect)) {
            return std::optional<Grant>(std::move(grant));
        }
    }
    return std::optional<Grant>();
}

// A new effect released by a grant: like a rule's release, its source the grant.
Applied released_by_grant(RunLedger& ledger, const Request& request, const Grant& grant,
                          const DecisionClock& clock, std::vector<StateChange>& changes) {
    Applied applied;
    applied.reply.verdict = ReplyVerdict::of(
        recorded_submit(ledger, request.run_id, request.effect_key, false, changes, std::string_view()));
    applied.reply.line = verdict_reply(verdict_text(applied.reply.verdict));
    applied.audit = new_effect_decided(request, applied.reply.verdict, true, grant_source(grant.id),
                                       "granted by " + grant.granted_by, clock);
    if (applied.reply.verdict.is(VerdictKind::release)) {
        applied.kept = kept_release(request, nullptr, grant_source(grant.id), clock);
    }
    return applied;
}

AuditEntry grant_entry(AuditEvent event, const Grant& grant, const DecisionSource& source,
                       const DecisionClock& clock) {
    AuditEntry entry;
    entry.at_ms = clock.now_ms;
    entry.event = event;
    entry.run_id = grant.run;  // a grant's entry is the approved effect's (set by the caller)
    entry.approved = event == AuditEvent::granted;
    entry.verdict = event == AuditEvent::granted ? "granted" : "revoked";
    entry.source = decision_source_text(source);
    entry.reason = grant_source(grant.id);
    entry.detail = boost::json::serialize(grant_json(grant));  // what it covers
    return entry;
}

Applied refused_with(std::string why, unsigned status) {
    Applied applied;
    applied.reply = refusal(std::move(why));
    applied.reply.verdict.status = status;
    return applied;
}

// Shadow rules: the entry saying that `ruled` would have decided a new effect otherwise
// than its client's flag did (held when set, else released); none when it agrees.
std::optional<AuditEntry> would_entry(const Request& request, const RuleOutcome& ruled, const DecisionClock& clock) {
    const RuleOutcome::Action happened = request.flag ? RuleOutcome::Action::hold : RuleOutcome::Action::release;
    if (ruled.action == happened) return std::nullopt;
    AuditEntry entry = effect_entry(AuditEvent::would, request, clock);
    entry.approved = ruled.action == RuleOutcome::Action::release;
    switch (ruled.action) {
        case RuleOutcome::Action::release: entry.verdict = "release"; break;
        case RuleOutcome::Action::hold: entry.verdict = "held_for_approval"; break;
        case RuleOutcome::Action::reject: entry.verdict = "refused_rejected"; break;
    }
    entry.source = rule_source(ruled.rule);
    entry.reason = std::string(ruled.reason);
    entry.detail = request.detail.value_or(std::string());
    return entry;
}

// Whether the person deciding a pending effect at the console is one its rule lets
// decide it: anyone, unless the rule that held it names its approvers.
bool may_decide(const Request& request, const DecisionSource& source, WaitingDetails& details,
                const EffectRules* rules) {
    if (rules == nullptr) return true;
    const std::string_view rule = details.rule_of(request.run_id, request.effect_key);
    if (rule.empty()) return true;
    const std::span<const std::string> approvers = rules->approvers_of(rule);
    return approvers.empty() || std::find(approvers.begin(), approvers.end(), source.who) != approvers.end();
}

// The quorum of the rule that held a pending effect: 1 without rules or a rule.
std::uint32_t quorum_for(const Request& request, WaitingDetails& details, const EffectRules* rules) {
    if (rules == nullptr) return 1;
    const std::string_view rule = details.rule_of(request.run_id, request.effect_key);
    return rule.empty() ? 1 : std::max<std::uint32_t>(1, rules->quorum_of(rule));
}

// A console approval's change of the detail: the detail it approves, and what the
// effect keeps as edited (empty when changed back to the detail as submitted).
struct ApprovedDetail {
    std::string detail;
    std::string edited;
};

// The change a console approval makes to the detail approved so far, if it makes one
// (nullopt in the inner optional); a refusal when it changes more than the submitter
// marked editable.
Result<std::optional<ApprovedDetail>> approval_change(const Request& request, WaitingDetails& details) {
    if (!request.detail) return std::optional<ApprovedDetail>();
    const std::string_view original = details.detail_of(request.run_id, request.effect_key);
    const std::string_view edited = details.edited_of(request.run_id, request.effect_key);
    // Compared by value: 120.50 approved as 120.5 is no change.
    if (same_json(*request.detail, edited.empty() ? original : edited)) return std::optional<ApprovedDetail>();
    if (std::optional<std::string> why =
            edit_refusal(original, *request.detail, details.editable_of(request.run_id, request.effect_key))) {
        return Failure{std::move(*why)};
    }
    return std::optional<ApprovedDetail>(
        ApprovedDetail{*request.detail, same_json(*request.detail, original) ? std::string() : *request.detail});
}

// A console approval of a pending effect whose rule asks for `quorum` approvals: the
// same person's second is refused, one short of the quorum is recorded (the effect
// stays pending); nullopt when this one completes the quorum.
//
// An approval that changes the detail (`change`) starts the count again, its own the
// first; any other is of the detail approved so far (`edited`, empty: as submitted).
std::optional<Applied> short_of_quorum(const Request& request, const DecisionSource& source,
                                       const DecisionClock& clock, std::uint32_t quorum,
                                       std::vector<StateChange>& changes, WaitingDetails& details,
                                       const std::optional<ApprovedDetail>& change, std::string_view edited) {
    const std::span<const std::string> so_far =
        change ? std::span<const std::string>() : details.approvals_of(request.run_id, request.effect_key);
    Applied applied;
    if (std::find(so_far.begin(), so_far.end(), source.who) != so_far.end()) {
        applied.reply = refusal("already approved by " + std::string(source.who));
        applied.reply.verdict.conflict = true;
        return applied;
    }
    if (so_far.size() + 1 >= quorum) return std::nullopt;
    std::vector<std::string> approvals(so_far.begin(), so_far.end());
    approvals.emplace_back(source.who);
    applied.reply.verdict.kind = ReplyVerdict::Kind::approval_recorded;
    applied.reply.line = approval_recorded_reply(approvals, quorum);
    changes.push_back(approval_recorded_change(request.run_id, request.effect_key, std::move(approvals)));
    changes.back().edited = change ? change->edited : std::string(edited);
    AuditEntry entry = effect_entry(AuditEvent::approval_recorded, request, clock);
    entry.approved = true;
    entry.verdict = "approval_recorded";
    entry.source = decision_source_text(source);
    entry.reason = std::string(source.reason);
    if (change) {
        entry.detail = change->detail;
        entry.edited = true;
    }
    applied.audit = std::move(entry);
    return applied;
}

// A submit carrying an attempt, of an effect released already with what is kept of it:
// release again for the attempt that took it, else a duplicate told what happened. A
// cancelled run refuses every submit, as it always has.
std::optional<Applied> released_before(const Request& request, const RunLedger& ledger, WaitingDetails& details) {
    if (!request.attempt || effect_state_in(ledger, request.run_id, request.effect_key) != EffectState::released) {
        return std::nullopt;
    }
    if (const RunRecord* run = ledger.find_run(request.run_id); run != nullptr && run->stopped()) return std::nullopt;
    const KeptRelease* kept = details.release_of(request.run_id, request.effect_key);
    if (kept == nullptr || !kept->released()) return std::nullopt;
    Applied applied;
    if (kept->attempt == *request.attempt) {
        applied.reply.verdict = ReplyVerdict::of(VerdictKind::release);
        applied.reply.line = again_reply(kept->detail);
    } else {
        applied.reply.verdict = ReplyVerdict::of(VerdictKind::refused_duplicate);
        applied.reply.line = released_duplicate_reply(*kept);
    }
    return applied;
}

// A complete: the result kept once, by the attempt that took the release.
Applied completed(const Request& request, const RunLedger& ledger, const DecisionSource& source,
                  const DecisionClock& clock, WaitingDetails& details) {
    const KeptRelease* kept =
        effect_state_in(ledger, request.run_id, request.effect_key) == EffectState::released
            ? details.release_of(request.run_id, request.effect_key)
            : nullptr;
    if (kept == nullptr || !kept->released()) return refused_with(not_released_message(), 0);
    if (!request.attempt || kept->attempt != *request.attempt) return refused_with(foreign_attempt_message(), 0);
    if (kept->completed() && !same_json(kept->result, request.result)) return refused_with(completed_otherwise_message(), 0);
    Applied applied;
    applied.reply.verdict.kind = ReplyVerdict::Kind::completed;
    applied.reply.line = verdict_reply("completed");
    if (kept->completed()) return applied;  // the same result again: nothing new
    applied.kept = *kept;
    applied.kept->result = request.result;
    applied.kept->completed_at_ms = clock.now_ms;
    AuditEntry entry = effect_entry(AuditEvent::completed, request, clock);
    entry.approved = true;
    entry.verdict = "completed";
    entry.source = decision_source_text(source);
    entry.detail = request.result;
    applied.audit = std::move(entry);
    return applied;
}

}  // namespace

std::optional<Applied> apply_request(RunLedger& ledger, const Request& request,
                                     const DecisionSource& source, const DecisionClock& clock,
                                     std::vector<StateChange>& changes, WaitingDetails& details,
                                     CountTotals* totals, const EffectRules* rules, bool shadow,
                                     GrantBook* grants) {
    const std::size_t before = changes.size();
    Applied applied;
    bool took_approved = false;
    // The detail as a person changed it, which this request's entry carries in place of
    // the submitted one.
    std::optional<std::string> entry_detail;
    ReplyVerdict& verdict = applied.reply.verdict;
    std::string& line = applied.reply.line;
    switch (request.op) {
        case Operation::ping:
            // Never asked: the request handler answers a ping before any store sees it.
            // The label stays so that a new operation is a build warning here.
            return applied;
        case Operation::submit: {
            const std::optional<EffectState> state =
                effect_state_in(ledger, request.run_id, request.effect_key);
            // A stopped run holds no waiting effect, so this is never asked of one.
            if (state && is_waiting(*state) && request.detail &&
                !same_json(details.detail_of(request.run_id, request.effect_key), *request.detail)) {
                applied.reply = refusal(detail_differs_message());
                return applied;
            }
            if (std::optional<Applied> again = released_before(request, ledger, details)) return again;
            took_approved = state == EffectState::approved;
            const std::string_view edited =
                took_approved ? details.edited_of(request.run_id, request.effect_key) : std::string_view();
            if (!edited.empty()) {
                // A worker that cannot take the changed detail must not perform the
                // effect as submitted: the approval stays for one that can.
                if (!request.attempt && !request.editable) {
                    applied.reply = refusal(edited_approval_message());
                    return applied;
                }
                entry_detail = std::string(edited);
            }
            const std::optional<RuleOutcome> matched =
                state ? std::nullopt : rule_for_new_effect(ledger, request, source, rules);
            applied.matched = matched;
            if (shadow && matched) applied.would = would_entry(request, *matched, clock);
            const std::optional<RuleOutcome> ruled = shadow ? std::nullopt : matched;
            if (ruled && ruled->action != RuleOutcome::Action::hold) {
                Applied decided = decided_by_rule(ledger, request, *ruled, clock, changes);
                decided.matched = matched;
                return decided;
            }
            if (ruled && ruled->grantable && grants != nullptr) {
                std::optional<std::optional<Grant>> grant =
                    covering_grant(request, source, *ruled, clock, *rules, *grants);
                if (!grant) return std::nullopt;
                if (*grant) {
                    Applied released = released_by_grant(ledger, request, **grant, clock, changes);
                    released.matched = matched;
                    released.matched->action = RuleOutcome::Action::release;  // counted as released
                    return released;
                }
            }
            const bool needs_approval = ruled ? true : request.flag;
            verdict = ReplyVerdict::of(
                recorded_submit(ledger, request.run_id, request.effect_key, needs_approval, changes,
                                request.detail ? std::string_view(*request.detail)
                                               : std::string_view()));
            line = entry_detail && verdict.is(VerdictKind::release) ? release_with_detail_reply(*entry_detail)
                                                                    : verdict_reply(verdict_text(verdict));
            if (verdict.is(VerdictKind::release) && changes.size() > before) {
                applied.kept = kept_release(request,
                                            took_approved ? details.release_of(request.run_id, request.effect_key)
                                                          : nullptr,
                                            decision_source_text(source), clock);
                // A retry of the attempt that took it is handed the changed detail again.
                if (applied.kept && entry_detail) applied.kept->detail = *entry_detail;
            }
            if (request.editable && changes.size() > before && changes.back().state == EffectState::pending) {
                changes.back().editable = *request.editable;
            }
            if (ruled && changes.size() > before) {
                changes.back().rule = std::string(ruled->rule);
                if (ruled->hold_timeout_ms > 0) applied.deadline_ms = clock.now_ms + ruled->hold_timeout_ms;
            }
            break;
        }
        case Operation::decide:
            if (source.door == DecisionSource::Door::line || source.door == DecisionSource::Door::client) {
                const std::string_view rule = effect_state_in(ledger, request.run_id, request.effect_key) ==
                                                      EffectState::pending
                                                  ? details.rule_of(request.run_id, request.effect_key)
                                                  : std::string_view();
                if (!rule.empty()) {
                    applied.reply = refusal(decided_by_people_message(rule));
                    return applied;
                }
            }
            if (person_door(source.door)) {
                const std::optional<EffectState> state =
                    effect_state_in(ledger, request.run_id, request.effect_key);
                if (state != EffectState::pending) {
                    verdict.kind = ReplyVerdict::Kind::already_decided;
                    verdict.state = effect_state_name(ledger, request.run_id, request.effect_key);
                    line = already_decided_reply(verdict.state);
                    return applied;  // nothing changed, nothing to log
                }
                if (!may_decide(request, source, details, rules)) {
                    applied.reply = refusal(std::string(source.who) + " may not decide this effect");
                    applied.reply.verdict.forbidden = true;
                    return applied;
                }
                if (request.flag && request.remember) {
                    const std::string_view rule = details.rule_of(request.run_id, request.effect_key);
                    if (rule.empty() || rules == nullptr) {
                        return refused_with("no rule held this effect, so no grant can be remembered", 422);
                    }
                    if (std::string why = rules->grant_refusal(rule); !why.empty()) {
                        return refused_with(std::move(why), 422);
                    }
                    Grant grant;
                    grant.rule = std::string(rule);
                    grant.effect = request.remember->effect;
                    grant.detail = "{}";
                    if (!rules->grant_covers(grant, NewEffect{request.run_id, request.effect_key, {}, {}})) {
                        return refused_with("the grant must cover the approved effect", 422);
                    }
                    grant.id = new_grant_id();
                    grant.run = request.remember->this_run ? request.run_id : std::string();
                    grant.detail = request.remember->detail;
                    grant.granted_by = std::string(source.who);
                    grant.granted_at_ms = clock.now_ms;
                    grant.expires_at_ms = clock.now_ms + request.remember->for_ms;
                    applied.grant_entry = grant_entry(AuditEvent::granted, grant, source, clock);
                    applied.grant_entry->run_id = request.run_id;
                    applied.grant_entry->effect_key = request.effect_key;
                    applied.granted = std::move(grant);
                }
                if (request.flag) {
                    Result<std::optional<ApprovedDetail>> change = approval_change(request, details);
                    if (!change) return refused_with(change.error(), 422);
                    const std::string edited =
                        change.value() ? change.value()->edited
                                       : std::string(details.edited_of(request.run_id, request.effect_key));
                    if (const std::uint32_t quorum = quorum_for(request, details, rules); quorum > 1) {
                        if (std::optional<Applied> recorded = short_of_quorum(request, source, clock, quorum, changes,
                                                                              details, change.value(), edited)) {
                            return recorded;
                        }
                    }
                    const std::size_t approving = changes.size();
                    if (recorded_approve_for_submitter(ledger, request.run_id, request.effect_key,
                                                       changes)) {
                        // Who approved it, told with its release once its submitter takes it.
                        applied.kept = KeptRelease{request.run_id, request.effect_key, {}, 0,
                                                   std::string(source.who), {}, 0, {}};
                    }
                    if (changes.size() > approving) changes.back().edited = edited;
                    if (change.value()) {
                        entry_detail = change.value()->detail;
                    } else if (!edited.empty()) {
                        entry_detail = edited;
                    }
                    verdict.kind = ReplyVerdict::Kind::approved;
                    line = verdict_reply(verdict_text(verdict));
                    break;
                }
            }
            verdict = ReplyVerdict::of(
                recorded_decide(ledger, request.run_id, request.effect_key, request.flag, changes));
            line = verdict_reply(verdict_text(verdict));
            if (verdict.is(VerdictKind::release)) {
                // A decider took the release: a submit of it learns when and by whom.
                applied.kept = KeptRelease{request.run_id, request.effect_key, {}, clock.now_ms,
                                           std::string(decider_name(decision_source_text(source))), {}, 0, {}};
            }
            break;
        case Operation::complete:
            return completed(request, ledger, source, clock, details);
        case Operation::cancel:
            recorded_cancel(ledger, request.run_id, changes);
            line = verdict_reply("ok");
            break;
        case Operation::close_run:
            recorded_close_run(ledger, request.run_id, changes);
            line = verdict_reply("ok");
            break;
        case Operation::revoke_grant: {
            if (grants == nullptr) return refused_with("no grant " + request.grant_id, 404);
            std::optional<std::vector<Grant>> live = grants->live_grants({}, clock.now_ms);
            if (!live) return std::nullopt;
            const auto found = std::find_if(live->begin(), live->end(), [&](const Grant& grant) {
                return grant.id == request.grant_id && grant.live_at(clock.now_ms);
            });
            if (found == live->end()) return refused_with("no live grant " + request.grant_id, 404);
            line = verdict_reply("ok");
            applied.revoked = found->id;
            applied.audit = grant_entry(AuditEvent::revoked, *found, source, clock);
            return applied;
        }
        case Operation::is_cancelled:
            line = flag_reply(gate_is_cancelled(ledger, request.run_id));
            break;
        case Operation::is_closed:
            line = flag_reply(gate_is_closed(ledger, request.run_id));
            break;
        case Operation::pending_count:
        case Operation::state_len: {
            std::optional<std::uint64_t> total;
            if (totals != nullptr) {
                total = totals->count(request.op);
            } else {
                total = request.op == Operation::pending_count ? ledger.pending_count()
                                                               : ledger.state_len();
            }
            if (!total) return std::nullopt;
            line = count_reply(*total);
            break;
        }
    }
    const std::span<const StateChange> made = std::span<const StateChange>(changes).subspan(before);
    if (source.door == DecisionSource::Door::expiry && made.empty()) return applied;
    if (applied.deadline_ms == 0) applied.deadline_ms = clock.hold_deadline();
    applied.audit = audit_entry_for(request, verdict_text(verdict), made, source, clock.now_ms,
                                    applied.deadline_ms, took_approved);
    // An approval with changes, and the taking of one, carry the detail as approved.
    if (applied.audit && entry_detail) {
        applied.audit->detail = std::move(*entry_detail);
        applied.audit->edited = true;
    }
    // What a waiting effect is, as its submitter said: the entry of its decision, its
    // expiry or its taking carries it too, so that whoever is told of it knows what.
    // `details` still tells the effect as it waited: a back end learns of this request's
    // changes only once it is decided. Read only for an entry: a worker asking again
    // about its held effect makes none, and costs no copy.
    if (applied.audit && applied.audit->detail.empty() && names_effect(request.op)) {
        applied.audit->detail = std::string(details.detail_of(request.run_id, request.effect_key));
    }
    // A hold by a rule says which: a restart reads it back from the log.
    if (applied.audit && applied.audit->event == AuditEvent::held && !made.empty() && !made.back().rule.empty()) {
        applied.audit->reason = rule_source(made.back().rule);
    }
    return applied;
}

}  // namespace latchwork::server
