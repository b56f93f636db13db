// submit_wait.cpp: submits that wait for their effect to be decided, and the registry that wakes them.
#include "server/net/submit_wait.h"

#include <boost/asio/post.hpp>

#include <utility>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/core/decider_name.h"

namespace latchwork::server {

SubmitWait::SubmitWait(SubmitWaits& registry, std::shared_ptr<const Request> request,
                       std::chrono::milliseconds wait, std::function<void()> woken)
    : registry_(registry),
      request_(std::move(request)),
      timer_(registry.io()),
      wait_(wait),
      on_woken_(std::move(woken)) {}

SubmitWait::~SubmitWait() {
    if (registered_) registry_.remove(*this);
}

void SubmitWait::start() {
    registry_.add(*this);
    registered_ = true;
    timer_.expires_after(wait_);
    timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        const std::shared_ptr<SubmitWait> self = weak.lock();
        if (error || !self) return;
        self->timed_out_ = true;
        self->on_woken_();
    });
}

void SubmitWait::wake(const WakeNote* note) {
    if (note != nullptr) note_ = *note;
    if (woken_) return;  // a look is posted already
    woken_ = true;
    post_woken();
}

void SubmitWait::end() {
    ended_ = true;
    timer_.cancel();
    post_woken();
}

// Never at once: a wake comes from inside the store's take of another request, which
// must finish before this wait takes its own.
void SubmitWait::post_woken() {
    boost::asio::post(registry_.io(), [weak = weak_from_this()] {
        if (const std::shared_ptr<SubmitWait> self = weak.lock()) self->on_woken_();
    });
}

void SubmitWaits::add(SubmitWait& wait) { by_run_.emplace(wait.request().run_id, &wait); }

void SubmitWaits::remove(SubmitWait& wait) {
    auto [at, end] = by_run_.equal_range(wait.request().run_id);
    for (; at != end; ++at) {
        if (at->second == &wait) {
            by_run_.erase(at);
            return;
        }
    }
}

void SubmitWaits::wake_run(std::string_view run_id, const std::string* effect_key,
                           const WakeNote* note) {
    // Waking only posts, so the index cannot change while this walks it.
    auto [at, end] = by_run_.equal_range(run_id);
    for (; at != end; ++at) {
        if (effect_key == nullptr || at->second->request().effect_key == *effect_key) {
            at->second->wake(note);
        }
    }
}

std::size_t SubmitWaits::waiting_on(std::string_view run_id, std::string_view effect_key) const {
    std::size_t count = 0;
    auto [at, end] = by_run_.equal_range(run_id);
    for (; at != end; ++at) count += at->second->request().effect_key == effect_key ? 1 : 0;
    return count;
}

void SubmitWaits::handled(const Decision& decision) {
    if (by_run_.empty()) return;
    if (decision.elsewhere && decision.changes.empty()) {
        // Another server's changes may have been missed: every wait looks again.
        for (auto& [run_id, wait] : by_run_) wait->wake(nullptr);
        return;
    }
    for (const StateChange& change : decision.changes) {
        switch (change.kind) {
            case StateChange::Kind::effect_state: {
                if (change.state == EffectState::pending) break;
                WakeNote note;
                if (change.state == EffectState::rejected) {
                    note.rejection = true;
                    note.expired = decision.source.door == DecisionSource::Door::expiry;
                    const std::string source = decision_source_text(decision.source);
                    note.decided_by = std::string(decider_name(source));
                    note.reason = std::string(decision.source.reason);
                }
                wake_run(change.run_id, &change.effect_key, &note);
                break;
            }
            case StateChange::Kind::run_cancelled:
            case StateChange::Kind::run_closed:
                wake_run(change.run_id, nullptr, nullptr);
                break;
            case StateChange::Kind::approval_recorded:
                break;  // still pending: its submitter waits on
        }
    }
}

}  // namespace latchwork::server
