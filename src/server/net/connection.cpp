// connection.cpp: one client connection: its requests read line by line, its replies in order.
#include "server/net/connection.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <tuple>
#include <utility>

#include "server/net/gate_server.h"
#include "server/net/http_line.h"
#include "server/net/line_access.h"
#include "server/net/listen_address.h"
#include "server/core/reply_writer.h"
#include "server/core/request_errors.h"
#include "server/store/reply_release.h"

namespace latchwork::server {
namespace asio = boost::asio;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
// After a line over the cap, the rest of what the client sends is read and dropped
// for this long, so that closing does not reset the connection before the client
// has read the error reply.
constexpr auto kDrainTime = std::chrono::seconds(1);
// Buffers that grew for a long line are given back rather than kept while idle.
constexpr std::size_t kKeptCapacity = 4096;
// Lines answered before the connection lets the others have a turn: one read of tiny
// lines holds tens of thousands, and answering all of them at once would keep every
// other client waiting that long.
constexpr std::size_t kLinesPerTurn = 256;
// A TLS connection's own read buffer: one record's plaintext at most.
constexpr std::size_t kTlsInput = 16 * 1024;

// What a reply costs while it waits in line beside its bytes: its slot in the vector
// (which may be twice as long as it is full), the shared reply and the allocator's
// headers. Counted against the reply cap so that a waiting submit cannot hold many
// times the cap in tiny replies behind it.
constexpr std::size_t kQueuedOverhead = 256;

std::size_t queued_cost(const Answer& answer) noexcept {
    return answer.line().capacity() + kQueuedOverhead;
}

void release_if_large(std::string& buffer) {
    if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

// Waits until the timer is cancelled (a wake-up) or the connection closes.
asio::awaitable<void> sleep_until_woken(asio::steady_timer& timer) {
    timer.expires_at(asio::steady_timer::time_point::max());
    co_await timer.async_wait(kAwait);
}

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket, GateServer& server)
    : socket_(std::move(socket)),
      server_(server),
      tls_(server.tls() == nullptr
               ? nullptr
               : std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *server.tls())),
      tls_input_(tls_ ? kTlsInput : 0),
      writer_wake_(server.io()),
      reader_wake_(server.io()),
      watchdog_(server.io()),
      last_request_(Clock::now()) {
    boost::system::error_code error;
    const asio::ip::tcp::endpoint remote = socket_.remote_endpoint(error);
    const LineAccess* access = server_.line_access();
    peer_.allowed = access == nullptr;  // a peer that is gone already is allowed nothing
    if (!error && access != nullptr) peer_ = access->peer_for(remote);
    if (!error && access == nullptr) peer_.address = endpoint_text(remote);
    if (!error) remote_ = remote.address();
}

Connection::~Connection() { server_.forget(this); }

void Connection::start() {
    boost::system::error_code ignored;
    socket_.non_blocking(true, ignored);
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    asio::co_spawn(server_.io(), [self = shared_from_this()] { return self->read_loop(); },
                   asio::detached);
    asio::co_spawn(server_.io(), [self = shared_from_this()] { return self->write_loop(); },
                   asio::detached);
    asio::co_spawn(server_.io(), [self = shared_from_this()] { return self->watch_loop(); },
                   asio::detached);
}

void Connection::stop_reading() {
    stop_requested_ = true;
    // A server that stops answers every waiting submit with what it knows: held.
    for (std::size_t i = waiting_head_; i < waiting_.size(); ++i) {
        if (waiting_[i].wait) waiting_[i].wait->end();
    }
    read_cancel_.emit(asio::cancellation_type::all);
    wake_reader();
}

void Connection::abort() {
    closed_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
    wake_reader();
    wake_writer();
    watchdog_.cancel();
}

// The read is Asio's own, so the reactor keeps the socket registered and reads it the
// moment it is ready: no epoll_ctl per wait, and after a read that left the socket
// empty no second read to find it so. Such a read completes after other handlers may
// have run, so it lands in the connection's small buffer of its own; a read that fills
// it goes on into the server's scratch buffer, which is consumed at once.
asio::awaitable<std::string_view> Connection::read_available() {
    auto [error, count] = co_await socket_.async_read_some(
        asio::buffer(first_read_),
        asio::bind_cancellation_slot(read_cancel_.slot(), kAwait));
    if (error || count == 0) co_return std::string_view();
    if (count < first_read_.size()) co_return std::string_view(first_read_.data(), count);
    const std::span<char> scratch = server_.scratch();
    std::copy(first_read_.begin(), first_read_.end(), scratch.begin());
    boost::system::error_code more_error;
    const std::size_t more = socket_.read_some(
        asio::buffer(scratch.data() + count, scratch.size() - count), more_error);
    co_return std::string_view(scratch.data(), count + (more_error ? 0 : more));
}

// Decrypted bytes may wait inside the session with the socket quiet, so the session is
// read, not the socket's readiness; the wait is Asio's, still cancelled by
// stop_reading(). `into` is the connection's own buffer (see tls_input_).
asio::awaitable<std::string_view> Connection::read_available_tls() {
    auto [error, count] = co_await tls_->async_read_some(
        asio::buffer(tls_input_.data(), tls_input_.size()),
        asio::bind_cancellation_slot(read_cancel_.slot(), kAwait));
    co_return error ? std::string_view() : std::string_view(tls_input_.data(), count);
}

asio::awaitable<std::string_view> Connection::read_more() {
    return tls_ ? read_available_tls() : read_available();
}

asio::awaitable<void> Connection::read_loop() {
    if (tls_) {
        // Nothing is read before the handshake succeeds; the watchdog ends one that
        // outlasts the line timeout, so a half-open handshake cannot keep a slot.
        handshaking_ = true;
        line_started_ = Clock::now();
        watchdog_.cancel();
        auto [error] = co_await tls_->async_handshake(
            asio::ssl::stream_base::server,
            asio::bind_cancellation_slot(read_cancel_.slot(), kAwait));
        handshaking_ = false;
        last_request_ = Clock::now();
        watchdog_.cancel();
        if (error) {
            abort();
            co_return;
        }
    }
    for (;;) {
        while (over_reply_cap() && !stop_requested_ && !closed_) {
            co_await sleep_until_woken(reader_wake_);
        }
        if (stop_requested_ || closed_) break;
        if (held_) {
            co_await release_held();
            continue;
        }
        if (!unparsed_.empty()) {
            // What was read before the replies reached their cap comes first.
            taking_unparsed_ = true;
            const bool going_on = read_lines(std::string_view(unparsed_).substr(unparsed_at_));
            if (taking_unparsed_) {  // all taken: nothing was stashed again
                unparsed_.clear();
                unparsed_at_ = 0;
                release_if_large(unparsed_);
            }
            taking_unparsed_ = false;
            if (!going_on) break;
            co_await asio::post(server_.io(), asio::use_awaitable);
            continue;
        }
        const std::string_view read = co_await read_more();
        if (read.empty()) break;  // end of stream, a failed socket or a cancelled read
        if (!read_lines(read)) break;
        // A client that sends without pause must not keep the others waiting.
        co_await asio::post(server_.io(), asio::use_awaitable);
    }
    // A refused hello's reply, or one whose wait the server's stop cut short.
    if (held_) co_await release_held();
    reading_done_ = true;
    // A client that ended its side (or whose socket failed) while submits wait has
    // given up on them: their waits end as they stand, held, so that no release is
    // taken for a reply no one will read. The next submit of the effect takes it.
    for (std::size_t i = waiting_head_; i < waiting_.size(); ++i) {
        if (waiting_[i].wait && !waiting_[i].wait->ended()) waiting_[i].wait->end();
    }
    release_if_large(partial_);
    std::string().swap(unparsed_);
    wake_writer();
}

bool Connection::read_lines(std::string_view bytes) {
    const std::size_t max_line = server_.limits().max_line;
    for (std::size_t answered = 0;; ++answered) {
        if (over_reply_cap() || answered == kLinesPerTurn || held_) {
            // One chunk of tiny requests can ask for many times its size in replies:
            // the rest waits, unparsed, until the client has read what it asked for
            // (or until the others had their turn, or a held reply has gone).
            stash(bytes);
            return true;
        }
        const std::size_t feed = bytes.find('\n');
        if (feed == std::string_view::npos) break;
        const std::string_view piece = bytes.substr(0, feed);
        bytes.remove_prefix(feed + 1);
        if (partial_.size() + piece.size() > max_line) {
            too_long_ = true;
            break;
        }
        if (partial_.empty()) {
            if (!answer_line(piece)) return false;
        } else {
            partial_.append(piece);
            const bool going_on = answer_line(partial_);
            // Cleared either way: a refused hello's reply may wait, and an unfinished
            // line would have the watchdog end the connection before it goes.
            partial_.clear();
            release_if_large(partial_);
            if (!going_on) return false;
        }
    }
    if (!too_long_ && partial_.size() + bytes.size() > max_line) too_long_ = true;
    if (too_long_) {
        // The rest of that line cannot be told from the next request: nothing more is read.
        queue(Answer{refusal(line_too_long_message()), 0});
        return false;
    }
    if (partial_.empty() && !bytes.empty()) {
        line_started_ = Clock::now();
        deadline_at(line_started_ + server_.limits().line_timeout);
    }
    partial_.append(bytes);
    return true;
}

// Keeps what is left of a read for later: either still in unparsed_ (the rest of it
// is what is being taken) or copied there from the scratch buffer.
void Connection::stash(std::string_view rest) {
    if (taking_unparsed_) {
        unparsed_at_ = unparsed_.size() - rest.size();
        taking_unparsed_ = false;
    } else {
        unparsed_.assign(rest);
        unparsed_at_ = 0;
    }
}

bool Connection::answer_line(std::string_view line) {
    if (!first_line_read_) {
        first_line_read_ = true;
        // A browser made to send HTTP here (a page's POST): its body must never be read
        // as requests. Nothing is answered, since nothing that sent it speaks our lines.
        if (looks_like_http(line)) {
            abort();
            return false;
        }
    }
    last_request_ = Clock::now();
    if (LineAccess* access = server_.line_access()) {
        if (std::optional<LineAccess::Screened> screened = access->screen(line, peer_, remote_)) {
            if (screened->delay.count() > 0) {
                held_ = Held{std::move(screened->reply), Clock::now() + screened->delay};
            } else {
                queue(Answer{std::move(screened->reply), 0});
            }
            refused_ = screened->close;
            return !refused_;
        }
    }
    queue(server_.handler().handle(line, peer_));
    return true;
}

void Connection::queue(Answer answer) {
    const std::size_t counted = queued_cost(answer);
    unsent_ += counted;
    std::shared_ptr<SubmitWait> wait;
    if (answer.waits && !stop_requested_) {
        // Joins the registry now, before any other request is decided, so no decision
        // between this take and its reply can go unseen.
        const std::chrono::milliseconds wait_ms(answer.waits->wait_ms);
        wait = std::make_shared<SubmitWait>(
            server_.submit_waits(), std::move(answer.waits), wait_ms,
            [weak = weak_from_this()] {
                if (const std::shared_ptr<Connection> self = weak.lock()) self->release_durable();
            });
        wait->start();
    }
    waiting_.push_back(Queued{std::move(answer), std::move(wait), counted});
    release_durable();
    if (waiting_head_ < waiting_.size()) server_.waiting_for_store(this);
}

void Connection::release_durable() {
    const Store& store = server_.store();
    bool moved = false;
    while (waiting_head_ < waiting_.size()) {
        Queued& queued = waiting_[waiting_head_];
        // A failed store takes no submit again: the reply goes as it stands.
        if (queued.wait && store.failure() == nullptr &&
            reply_release(store, queued.answer.wait_for).state == ReplyRelease::State::ready &&
            !settle(queued)) {
            break;
        }
        // Asked after settling: a waiting submit taken again may have recorded a batch.
        const ReplyRelease release = reply_release(store, queued.answer.wait_for);
        if (release.state == ReplyRelease::State::wait) break;
        queued.wait.reset();
        const bool failed = release.state == ReplyRelease::State::failed;
        const std::string refused = failed ? error_reply(release.failure) : std::string();
        const std::string& line = failed ? refused : queued.answer.line();
        unsent_ = unsent_ - queued.counted + line.size();
        outbox_ += line;
        ++waiting_head_;
        moved = true;
    }
    if (waiting_head_ == waiting_.size()) {
        if (!waiting_.empty()) server_.done_waiting(this);
        waiting_.clear();
        waiting_head_ = 0;
        if (waiting_.capacity() > 64) std::vector<Queued>().swap(waiting_);
    } else if (waiting_head_ > 32 && 2 * waiting_head_ > waiting_.size()) {
        // Replies keep coming while some still wait: the sent ones must not pile up.
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(waiting_head_));
        waiting_head_ = 0;
    }
    if (moved) wake_writer();
}

void Connection::replace_answer(Queued& queued, Answer answer) {
    const std::size_t counted = queued_cost(answer);
    unsent_ = unsent_ - queued.counted + counted;
    queued.counted = counted;
    answer.waits.reset();
    queued.answer = std::move(answer);
}

bool Connection::settle(Queued& queued) {
    SubmitWait& wait = *queued.wait;
    const ReplyVerdict& verdict = queued.answer.verdict();
    if (!verdict.is(VerdictKind::held_for_approval)) {
        // Rejected while it waited: who decided, why, and whether it expired.
        const WakeNote& note = wait.note();
        if (wait.taken_again() && verdict.is(VerdictKind::refused_rejected) && note.rejection) {
            const ReplyVerdict rejected = ReplyVerdict::of(VerdictKind::refused_rejected);
            replace_answer(queued, Answer{Reply{waited_reply({verdict_text(rejected), note.decided_by,
                                                              note.reason, true, note.expired}),
                                                rejected},
                                          0});
        }
        return true;
    }
    if (wait.ended()) return true;  // stopping: held, as it stands
    if (wait.took_last()) return true;  // taken again after time was up: still held
    if (!wait.take_woken() && !wait.timed_out()) return false;
    // Decided, maybe, or time is up: the same submit again says what the effect is now,
    // and takes the release if a person approved it.
    replace_answer(queued, server_.handler().handle_verified(wait.request(),
                                                             RequestHandler::source_of(peer_)));
    wait.mark_taken_again();
    // The answer waits for its batch like any other; this is looked at again then.
    return reply_release(server_.store(), queued.answer.wait_for).state == ReplyRelease::State::ready &&
           settle(queued);
}

asio::awaitable<void> Connection::write_loop() {
    for (;;) {
        if (closed_) break;
        if (outbox_.empty()) {
            if (reading_done_ && waiting_head_ == waiting_.size()) break;
            co_await sleep_until_woken(writer_wake_);
            continue;
        }
        sending_.swap(outbox_);
        write_started_ = Clock::now();
        writing_ = true;
        deadline_at(write_started_ + server_.limits().write_timeout);
        boost::system::error_code error;
        if (tls_) {
            std::tie(error, std::ignore) =
                co_await asio::async_write(*tls_, asio::buffer(sending_), kAwait);
        } else {
            std::tie(error, std::ignore) =
                co_await asio::async_write(socket_, asio::buffer(sending_), kAwait);
        }
        writing_ = false;
        unsent_ -= sending_.size();
        sending_.clear();
        release_if_large(sending_);  // outbox_ may have filled meanwhile: it is kept
        if (error) {
            abort();
            break;
        }
        if (!over_reply_cap()) wake_reader();
    }
    if (!closed_) {
        boost::system::error_code ignored;
        // Over TLS too, the end is the socket's: a close_notify would have to wait for
        // the peer's, which a client that stopped reading never sends. Every reply ends
        // with a line feed, so a cut would show as a partial line.
        socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        if (too_long_ || refused_) co_await drain_input();
    }
    abort();
}

bool Connection::over_reply_cap() const noexcept { return unsent_ > server_.limits().max_unsent; }

void Connection::deadline_at(Clock::time_point due) {
    if (due < watched_until_) watchdog_.cancel();
}

// One timer per connection for its three deadlines; whatever moves a deadline
// earlier than the one waited for cancels the wait, and the loop looks again. One
// that is later is left to the wait in progress: when it ends early the loop looks
// again and waits the rest. So a connection busy with short requests moves its
// timer once per write timeout, not once per request.
asio::awaitable<void> Connection::watch_loop() {
    const ServerLimits& limits = server_.limits();
    for (;;) {
        if (closed_) break;
        Clock::time_point due = Clock::time_point::max();
        if (handshaking_) due = std::min(due, line_started_ + limits.line_timeout);
        if (writing_) due = std::min(due, write_started_ + limits.write_timeout);
        if (!reading_done_) {
            if (!partial_.empty()) {
                due = std::min(due, line_started_ + limits.line_timeout);
            } else if (limits.idle_timeout.count() > 0 && !writing_) {
                due = std::min(due, last_request_ + limits.idle_timeout);
            }
        }
        if (due != Clock::time_point::max() && Clock::now() >= due) {
            abort();
            break;
        }
        watchdog_.expires_at(due);
        watched_until_ = due;
        co_await watchdog_.async_wait(kAwait);
        watched_until_ = Clock::time_point::min();  // looking again: nothing is waited for
    }
}

// The wait is the reader's own timer: the network thread serves everyone else
// meanwhile. A writer's wake-up cancels it too; the loop then waits the rest.
asio::awaitable<void> Connection::release_held() {
    while (!stop_requested_ && !closed_ && Clock::now() < held_->until) {
        reader_wake_.expires_at(held_->until);
        co_await reader_wake_.async_wait(kAwait);
    }
    if (!closed_) queue(Answer{std::move(held_->reply), 0});
    held_.reset();
}

asio::awaitable<void> Connection::drain_input() {
    asio::steady_timer deadline(server_.io());
    deadline.expires_after(kDrainTime);
    deadline.async_wait([this](const boost::system::error_code& error) {
        if (!error) read_cancel_.emit(asio::cancellation_type::all);
    });
    while (!stop_requested_) {
        if ((co_await read_more()).empty()) break;
    }
    deadline.cancel();
}

}  // namespace latchwork::server
