// notifier.cpp: tells the --notify targets of every change, reading the store's audit log after each target's cursor.
#include "server/notify/notifier.h"

#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include "server/core/diagnostics.h"
#include "server/notify/chat_message.h"
#include "server/notify/webhook_body.h"

namespace latchwork::server {
namespace asio = boost::asio;
namespace json = boost::json;

namespace {

// After a decision, how soon its batch is looked for again while it is not yet durable.
constexpr std::chrono::milliseconds kSoon{5};

std::string label_value(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string_view format_name(NotifyFormat format) {
    return format == NotifyFormat::slack ? "slack" : "webhook";
}

}  // namespace

Notifier::Notifier(asio::io_context& io, RequestHandler& handler, Store& store, NotifySettings settings,
                   SecretBytes key, std::unique_ptr<asio::ssl::context> tls,
                   NotifyCursorsOpener open_cursors)
    : io_(io),
      handler_(handler),
      store_(store),
      settings_(std::move(settings)),
      poll_timer_(io),
      soon_timer_(io),
      alive_(std::make_shared<bool>(true)) {
    states_.reserve(settings_.targets.size());
    for (std::size_t i = 0; i < settings_.targets.size(); ++i) states_.emplace_back(store_, settings_.follow);
    delivery_ = std::make_unique<NotifyDelivery>(
        settings_.targets, std::move(key), std::move(tls), std::move(open_cursors), settings_.delivery,
        [this, alive = alive_](DeliveryNews news) {
            asio::post(io_, [this, alive, news = std::move(news)]() mutable {
                if (*alive) heard(std::move(news));
            });
        });
    handler_.add_observer(this);
}

Notifier::~Notifier() {
    handler_.remove_observer(this);
    *alive_ = false;
    delivery_.reset();
}

void Notifier::start() {
    // Before serving, so that what commits once the server answers is told; should the
    // log not be readable yet, the polls ask again.
    if (Result<std::vector<AuditEntry>> newest = store_.read_audit(newest_entry_query())) {
        start_seq_ = newest_seq_in(newest.value());
        start_known_ = true;
    }
    poll();
}

bool Notifier::find_start() {
    if (start_known_) return true;
    // A target never told anything starts after what the log holds now: it is told
    // of changes from its first start on, not of the whole past. Until the log can be
    // read (a shared database away at start), no target is claimed.
    if (finding_start_) return false;
    finding_start_ = true;
    store_.async_read_audit(newest_entry_query(), [this, alive = alive_](Result<std::vector<AuditEntry>> read) {
        if (!*alive) return;
        finding_start_ = false;
        if (!read) return;  // the next poll asks again
        start_seq_ = newest_seq_in(read.value());
        start_known_ = true;
        if (!stopped_) pump();
    });
    return false;
}

void Notifier::stop() {
    stopped_ = true;
    poll_timer_.cancel();
    soon_timer_.cancel();
}

void Notifier::handled(const Decision& decision) {
    if (decision.batch == 0 || stopped_) return;
    waiting_batch_ = std::max(waiting_batch_, decision.batch);
    check_soon();
}

void Notifier::check_soon() {
    if (soon_armed_ || stopped_) return;
    soon_armed_ = true;
    soon_timer_.expires_after(kSoon);
    soon_timer_.async_wait([this](const boost::system::error_code& error) {
        soon_armed_ = false;
        if (error || stopped_) return;
        // Entries are readable once their batch is durable; until then, look again,
        // unless the store is failed or away, when the poll looks in its own time.
        if (store_.durable() < waiting_batch_ && !store_.failure() && !store_.outage()) {
            check_soon();
            return;
        }
        pump();
    });
}

void Notifier::poll() {
    if (stopped_) return;
    pump();
    poll_timer_.expires_after(settings_.poll);
    poll_timer_.async_wait([this](const boost::system::error_code& error) {
        if (!error) poll();
    });
}

void Notifier::pump() {
    if (!find_start()) return;
    for (std::size_t index = 0; index < states_.size(); ++index) {
        TargetState& state = states_[index];
        if (!state.claimed) {
            if (!state.claiming) {
                state.claiming = true;
                delivery_->claim(index, start_seq_);
            }
            continue;
        }
        if (!state.busy) read_for(index);
    }
}

void Notifier::read_for(std::size_t index) {
    // At most one read per target at a time: a pump meanwhile finds it reading.
    states_[index].follower.read(settings_.batch, [this, index](Result<AuditFollower::Read> read) {
        if (!stopped_ && !states_[index].busy) deliver_read(index, std::move(read));
    });
}

void Notifier::deliver_read(std::size_t index, Result<AuditFollower::Read> read) {
    TargetState& state = states_[index];
    const NotifyTarget& target = settings_.targets[index];
    if (!read) {
        state.last_problem = "reading the audit log: " + read.error();
        return;  // the next poll tries again
    }
    DeliveryBatch batch;
    batch.target = index;
    batch.up_to = state.follower.cursor();
    const auto add = [&](const AuditEntry& entry) {
        const std::optional<WebhookEvent> event = webhook_event_of(entry);
        if (!event || (settings_.events & static_cast<WebhookEvents>(*event)) == 0) return false;
        if (automatic_release(entry) && (settings_.events & kAutoReleases) == 0) return false;
        Outgoing item;
        item.seq = entry.seq;
        item.at_ms = entry.at_ms;
        item.event = std::string(webhook_event_name(*event));
        item.run_id = entry.run_id;
        item.effect_key = entry.effect_key;
        item.body = target.format == NotifyFormat::slack
                        ? chat_message(entry, *event, settings_.console_url, settings_.chat_buttons)
                        : webhook_body(entry, *event, settings_.console_url);
        batch.items.push_back(std::move(item));
        return true;
    };
    // Late entries first: they are the older. Their seqs are below the cursor, which
    // saving them leaves where it is.
    state.late_out.clear();
    for (const AuditEntry& entry : read.value().late) {
        if (add(entry)) state.late_out.push_back(entry.seq);
    }
    for (const AuditEntry& entry : read.value().entries) add(entry);
    // Nothing new, or waiting for a missing seq: the next poll looks again.
    if (batch.items.empty() && read.value().entries.empty()) return;
    state.busy = true;
    delivery_->deliver(std::move(batch));
}

void Notifier::heard(DeliveryNews news) {
    TargetState& state = states_[news.target];
    switch (news.kind) {
        case DeliveryNews::Kind::claimed:
            state.claiming = false;
            state.claimed = true;
            state.cursor = news.seq;
            state.follower.start_at(news.seq);
            if (!stopped_) read_for(news.target);
            return;
        case DeliveryNews::Kind::not_claimed:
            state.claiming = false;
            if (!news.problem.empty() && news.problem != state.last_problem) diagnose(news.problem);
            state.last_problem = std::move(news.problem);
            return;
        case DeliveryNews::Kind::delivered:
            ++state.delivered;
            state.cursor = std::max(state.cursor, news.seq);
            std::erase(state.late_out, news.seq);
            return;
        case DeliveryNews::Kind::attempt_failed:
            ++state.failed_attempts;
            state.last_problem = std::move(news.problem);
            return;
        case DeliveryNews::Kind::dead:
            ++state.dead;
            state.cursor = std::max(state.cursor, news.seq);
            std::erase(state.late_out, news.seq);
            state.last_problem = news.problem;
            dead_.push_back(DeadNote{news.target, std::move(news.item), news.attempts, std::move(news.problem)});
            while (dead_.size() > settings_.max_dead) dead_.pop_front();
            return;
        case DeliveryNews::Kind::batch_done:
            state.busy = false;
            state.late_out.clear();
            state.cursor = std::max(state.cursor, news.seq);
            if (!stopped_) read_for(news.target);  // more may have come meanwhile
            return;
        case DeliveryNews::Kind::lost:
            state.busy = false;
            state.claimed = false;
            // Read again once the target is claimed again, from its saved cursor; the
            // late entries below it only if looked for again.
            for (std::uint64_t seq : state.late_out) state.follower.look_again(seq);
            state.late_out.clear();
            if (news.problem != state.last_problem) diagnose(news.problem);
            state.last_problem = std::move(news.problem);
            return;
    }
}

std::string Notifier::metrics_text() const {
    std::string text;
    const auto family = [&](const char* name, const char* type, const char* help,
                            std::uint64_t TargetState::*field) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (std::size_t i = 0; i < states_.size(); ++i) {
            text += std::string(name) + "{target=\"" + label_value(settings_.targets[i].shown) + "\"} " +
                    std::to_string(states_[i].*field) + "\n";
        }
    };
    family("latchwork_notifications_delivered_total", "counter",
           "Notifications a receiver answered with 2xx, by target.", &TargetState::delivered);
    family("latchwork_notifications_failed_attempts_total", "counter",
           "Attempts that failed and were tried again later, by target.", &TargetState::failed_attempts);
    family("latchwork_notifications_dead_total", "counter",
           "Notifications given up on after --notify-max-age, by target.", &TargetState::dead);
    family("latchwork_notifications_cursor", "gauge",
           "The audit seq each target has been told up to.", &TargetState::cursor);
    return text;
}

std::string Notifier::status_json() const {
    json::array targets;
    for (std::size_t i = 0; i < states_.size(); ++i) {
        const TargetState& state = states_[i];
        targets.push_back(json::object{
            {"target", settings_.targets[i].shown},
            {"format", format_name(settings_.targets[i].format)},
            {"delivering", state.claimed},
            {"cursor", state.cursor},
            {"delivered", state.delivered},
            {"failed_attempts", state.failed_attempts},
            {"dead", state.dead},
            {"last_problem", state.last_problem.empty() ? json::value(nullptr)
                                                        : json::value(json::string(state.last_problem))},
        });
    }
    json::array dead;
    for (auto note = dead_.rbegin(); note != dead_.rend(); ++note) {  // newest first
        dead.push_back(json::object{
            {"target", settings_.targets[note->target].shown},
            {"seq", note->item.seq},
            {"event", note->item.event},
            {"run_id", note->item.run_id},
            {"effect_key", note->item.effect_key},
            {"at", utc_time_text(note->item.at_ms)},
            {"attempts", note->attempts},
            {"problem", note->problem},
        });
    }
    return json::serialize(json::object{{"targets", std::move(targets)}, {"dead", std::move(dead)}});
}

}  // namespace latchwork::server
