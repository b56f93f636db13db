// submit_wait.h: submits that wait for their effect to be decided (wait_ms), and the one registry that wakes them.
//
// A waiting submit is answered once its effect is no longer held, by taking the same
// submit again: whatever the effect became (approved for it, released to a decider,
// rejected, expired, its run stopped) that second take answers exactly as any later
// submit would, through the same store, so two waiters on one effect can never both
// be released. The registry watches every decision the request handler sees,
// including those another server sharing the store made, and wakes the waits of the
// effects and runs they changed.
//
// Everything runs on the network thread. A wait costs its request's ids, a timer and
// one index entry: about what an idle connection costs.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/core/reply_writer.h"
#include "server/store/request_handler.h"

namespace latchwork::server {

class SubmitWaits;

// Who decided, as a waiting submit is told it with a rejection.
struct WakeNote {
    bool rejection = false;
    bool expired = false;
    std::string decided_by;
    std::string reason;
};

class SubmitWait : public std::enable_shared_from_this<SubmitWait> {
public:
    // `woken` is posted to the network thread whenever the wait should look again.
    SubmitWait(SubmitWaits& registry, std::shared_ptr<const Request> request,
               std::chrono::milliseconds wait, std::function<void()> woken);
    ~SubmitWait();
    SubmitWait(const SubmitWait&) = delete;
    SubmitWait& operator=(const SubmitWait&) = delete;

    // Starts the clock and joins the registry; call once, on a shared_ptr.
    void start();

    const Request& request() const noexcept { return *request_; }
    // Something happened to the effect since the last look; cleared by taking it.
    bool take_woken() noexcept { return std::exchange(woken_, false); }
    bool timed_out() const noexcept { return timed_out_; }
    const WakeNote& note() const noexcept { return note_; }
    // The server stops: the reply goes as it stands.
    void end();
    bool ended() const noexcept { return ended_; }
    // The submit was taken again (after a wake-up or when time was up).
    void mark_taken_again() noexcept {
        taken_again_ = true;
        took_last_ = timed_out_;
    }
    bool taken_again() const noexcept { return taken_again_; }
    // It was taken again once time was up: that answer is the last.
    bool took_last() const noexcept { return took_last_; }

    // Called by the registry.
    void wake(const WakeNote* note);

private:
    void post_woken();

    SubmitWaits& registry_;
    std::shared_ptr<const Request> request_;
    boost::asio::steady_timer timer_;
    std::chrono::milliseconds wait_;
    std::function<void()> on_woken_;
    WakeNote note_;
    bool woken_ = false;
    bool timed_out_ = false;
    bool ended_ = false;
    bool taken_again_ = false;
    bool took_last_ = false;
    bool registered_ = false;
};

class SubmitWaits final : public RequestObserver {
public:
    explicit SubmitWaits(boost::asio::io_context& io) : io_(io) {}
    SubmitWaits(const SubmitWaits&) = delete;
    SubmitWaits& operator=(const SubmitWaits&) = delete;

    void handled(const Decision& decision) override;

    boost::asio::io_context& io() noexcept { return io_; }
    std::size_t size() const noexcept { return by_run_.size(); }
    // The submits waiting now on one effect.
    std::size_t waiting_on(std::string_view run_id, std::string_view effect_key) const;

private:
    friend class SubmitWait;
    void add(SubmitWait& wait);
    void remove(SubmitWait& wait);
    // Wakes the waits of `run_id`: all of them, or those of `effect_key` when given.
    void wake_run(std::string_view run_id, const std::string* effect_key, const WakeNote* note);

    boost::asio::io_context& io_;
    // Keys view the run ids of the waits' own requests.
    std::unordered_multimap<std::string_view, SubmitWait*> by_run_;
};

}  // namespace latchwork::server
