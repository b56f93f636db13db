// line_access.cpp: who may speak to the line port, and the hello that names a client.
#include "server/net/line_access.h"

#include <algorithm>
#include <array>

#include "server/core/audit_entry.h"
#include "server/core/diagnostics.h"
#include "server/core/reply_writer.h"
#include "server/net/listen_address.h"
#include "wire/json_reader.h"

namespace latchwork::server {
namespace {

enum Slot : std::size_t { kOp, kClient, kToken, kSlotCount };
constexpr std::array<std::string_view, kSlotCount> kMembers = {"op", "client", "token"};

using Members = std::vector<std::optional<MemberValue>>;

// The members of a line that is a JSON object with a string "op"; nullopt otherwise
// (the handler then says what is wrong with it, or this peer is refused).
std::optional<Members> read_op_line(std::string_view line) {
    Result<TopLevelMembers> read = read_top_level_members(line, kMembers);
    if (!read || !read.value().is_object) return std::nullopt;
    Members& values = read.value().values;
    if (!values[kOp] || values[kOp]->type != MemberValue::Type::string) return std::nullopt;
    return std::move(values);
}

const std::string* string_member(const Members& members, Slot slot) {
    const std::optional<MemberValue>& value = members[slot];
    if (!value || value->type != MemberValue::Type::string) return nullptr;
    return &value->text;
}

LineAccess::Screened close_with(std::string_view message) {
    return LineAccess::Screened{refusal(std::string(message)), true};
}

// A client name as a hello gave it, quoted, cut to what a real name can be (at most 64
// bytes) where a UTF-8 character begins: the peer chose it, the log need not hold all of it.
std::string shown_name(std::string_view name) {
    constexpr std::size_t kShown = 64;
    if (name.size() <= kShown) return quoted_text(name);
    std::size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return quoted_text(name.substr(0, cut)) + "...";
}

}  // namespace

Peer LineAccess::peer_for(const boost::asio::ip::tcp::endpoint& remote) const {
    Peer peer;
    peer.address = endpoint_text(remote);
    peer.allowed = std::ranges::any_of(
        allow_, [&](const NetworkRange& range) { return range.contains(remote.address()); });
    return peer;
}

std::optional<LineAccess::Screened> LineAccess::screen(std::string_view line, Peer& peer,
                                                      const boost::asio::ip::address& from) {
    if (peer.allowed && !clients_) return std::nullopt;
    // Whoever may speak already needs no look at the line unless it may be a hello
    // (one written with escapes is an unknown op for the handler, as it always was).
    if ((peer.allowed || peer.client) && line.find("hello") == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<Members> members = read_op_line(line);
    const std::string_view op = members ? std::string_view((*members)[kOp]->text) : std::string_view();
    if (clients_ && op == "hello") {
        if (peer.client) return close_with("hello was already said on this connection");
        const std::string* name = string_member(*members, kClient);
        const std::string* token = string_member(*members, kToken);
        if (name == nullptr || token == nullptr) {
            return close_with("hello needs the string members client and token");
        }
        const auto now = std::chrono::steady_clock::now();
        // Decided by the failures before this one, whichever way this one goes.
        const std::chrono::milliseconds delay = failures_.delay(from, now);
        std::optional<HelloClient> client = clients_->check(*name, *token);
        if (!client) {
            failures_.record(from, now);
            log_refused_hello(peer, *name, now);
            // Which of the two was wrong is not said: a name is worth a guess too.
            Screened refused = close_with("hello refused: unknown client or wrong token");
            refused.delay = delay;
            return refused;
        }
        Screened accepted{Reply{hello_reply(client->name), {}}, false, delay};
        peer.client = std::move(client);
        return accepted;
    }
    if (peer.allowed || peer.client) return std::nullopt;
    // A ping reflects no state: health checks need no token.
    if (op == "ping") return std::nullopt;
    return close_with(clients_ ? "hello first: this peer is not allowed without a client token"
                               : "this peer is not allowed to use the line port");
}

void LineAccess::log_refused_hello(const Peer& peer, std::string_view name,
                                   std::chrono::steady_clock::time_point now) {
    const std::optional<std::uint64_t> left_out = refusal_log_.admit(now);
    if (!left_out) return;
    std::string text = "hello refused from " + peer.address + " for client " + shown_name(name);
    if (*left_out > 0) {
        text += " (" + std::to_string(*left_out) + " more refused since the last such line)";
    }
    diagnose(text);
}

std::optional<std::string> unprotected_listen_problem(const boost::asio::ip::address& listen,
                                                      bool rules_given) {
    if (rules_given || is_loopback(listen)) return std::nullopt;
    return "refusing to listen on " + listen.to_string() +
           " with no access rules: anyone who can reach it could decide; say who may "
           "connect with --allow CIDR (repeatable) and/or --clients FILE, or listen on "
           "127.0.0.1";
}

}  // namespace latchwork::server
