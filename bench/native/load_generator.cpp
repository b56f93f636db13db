// load_generator.cpp: closed-loop load on a gate server or on Redis, from one thread.
//
//   load_generator --port N [--port N ...] --protocol line|resp --connections N
//                  [--host 127.0.0.1] [--seconds S] [--warmup S] [--requests N]
//                  [--key-prefix TEXT] [--hold yes]
//
// With several --port options the connections are dealt out over them in turn (several
// servers sharing one store, measured as one service).
//
// Every connection has exactly one request in flight, as a GateClient has: the next
// goes out when the reply to the last has been read. Each request names a new effect
// (line protocol: a submit that needs no approval) or a new key (RESP: SET key 1 NX),
// so both servers do the same work: remember one new key, durably or not (--hold yes:
// a submit that needs approval, so each leaves an audit entry to announce). One thread
// drives every connection through epoll, so the generator costs about one core at
// most and leaves the other to the server.
//
// Prints one JSON object: requests, seconds, requests_per_second, p50_us, p99_us, and
// how many replies were not the expected one (with the first such reply). With
// --seconds the first --warmup seconds (default 0.5) are not counted; with
// --requests every reply is, from the first request to the last reply.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

enum class Protocol { line, resp };

struct Options {
    std::string host = "127.0.0.1";
    std::vector<std::string> ports;
    Protocol protocol = Protocol::line;
    unsigned connections = 1;
    double seconds = 0;
    double warmup = 0.5;
    std::uint64_t requests = 0;
    std::string key_prefix;
    bool hold = false;  // --hold yes: every submit needs approval (and leaves an audit entry)
};

constexpr std::string_view kLineExpected = "{\"verdict\":\"release\"}";
constexpr std::string_view kLineHeld = "{\"verdict\":\"held_for_approval\"}";
constexpr std::string_view kRespExpected = "+OK";

struct Connection {
    Descriptor socket;
    unsigned index = 0;
    std::uint64_t sent = 0;       // requests sent on this connection so far
    std::string request;          // the one in flight
    std::size_t written = 0;      // bytes of it written
    std::string received;         // bytes read and not yet consumed
    Clock::time_point sent_at;
    bool waiting = false;         // a request is in flight
};

void build_request(const Options& options, Connection& connection) {
    const std::string key = options.key_prefix + std::to_string(connection.index) + "-" +
                            std::to_string(connection.sent);
    connection.request.clear();
    if (options.protocol == Protocol::line) {
        connection.request += "{\"effect_key\":\"e";
        connection.request += key;
        // Generators with different prefixes name different runs, so that servers
        // sharing one store do not serialise on each other's runs.
        connection.request += options.hold ? "\",\"needs_approval\":true,\"op\":\"submit\",\"run_id\":\"r"
                                           : "\",\"needs_approval\":false,\"op\":\"submit\",\"run_id\":\"r";
        connection.request += options.key_prefix;
        connection.request += std::to_string(connection.index);
        connection.request += "\"}\n";
    } else {
        const std::string name = "k" + key;
        connection.request += "*4\r\n$3\r\nSET\r\n$";
        connection.request += std::to_string(name.size());
        connection.request += "\r\n";
        connection.request += name;
        connection.request += "\r\n$1\r\n1\r\n$2\r\nNX\r\n";
    }
    connection.written = 0;
    ++connection.sent;
}

// The length of the first whole reply in `bytes`, or nothing while it is incomplete.
std::optional<std::size_t> reply_length(Protocol protocol, std::string_view bytes) {
    if (protocol == Protocol::line) {
        const std::size_t end = bytes.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        return end + 1;
    }
    const std::size_t end = bytes.find("\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    if (bytes[0] != '$') return end + 2;  // simple string, error, integer
    const long length = std::strtol(std::string(bytes.substr(1, end - 1)).c_str(), nullptr, 10);
    if (length < 0) return end + 2;  // the null bulk string: SET NX found the key
    const std::size_t total = end + 2 + static_cast<std::size_t>(length) + 2;
    if (bytes.size() < total) return std::nullopt;
    return total;
}

std::string_view trim_reply(std::string_view reply) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
    return reply;
}

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "load_generator: %s\n", message.c_str());
    std::exit(1);
}

Descriptor connect_to(const Options& options, const std::string& port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found)) {
        die("resolve " + options.host + ": " + ::gai_strerror(error));
    }
    std::string last_error = "no address";
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
        Descriptor socket(::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC,
                                   address->ai_protocol));
        if (socket.fd() < 0) continue;
        if (::connect(socket.fd(), address->ai_addr, address->ai_addrlen) == 0) {
            ::freeaddrinfo(found);
            const int on = 1;
            ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return socket;
        }
        last_error = std::strerror(errno);
    }
    ::freeaddrinfo(found);
    die("connect " + options.host + ":" + port + ": " + last_error);
}

class Generator {
public:
    explicit Generator(const Options& options) : options_(options), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (epoll_.fd() < 0) die(std::string("epoll_create1: ") + std::strerror(errno));
        connections_.resize(options.connections);
        out_.resize(options.connections, false);
        for (unsigned i = 0; i < options.connections; ++i) {
            Connection& connection = connections_[i];
            connection.index = i;
            connection.socket = connect_to(options, options.ports[i % options.ports.size()]);
            if (::fcntl(connection.socket.fd(), F_SETFL, O_NONBLOCK) < 0) die("fcntl O_NONBLOCK");
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = i;
            if (::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, connection.socket.fd(), &event) < 0) {
                die(std::string("epoll_ctl: ") + std::strerror(errno));
            }
        }
    }

    void run() {
        began_ = Clock::now();
        const bool timed = options_.requests == 0;
        counted_from_ = timed ? began_ + to_duration(options_.warmup) : began_;
        stop_at_ = timed ? counted_from_ + to_duration(options_.seconds) : Clock::time_point::max();
        if (timed) samples_.reserve(1 << 20);
        else samples_.reserve(options_.requests);
        for (Connection& connection : connections_) start_request(connection);
        std::vector<epoll_event> events(connections_.size());
        while (in_flight_ > 0) {
            const int ready = ::epoll_wait(epoll_.fd(), events.data(),
                                           static_cast<int>(events.size()), 10000);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) die(std::string("epoll_wait: ") + std::strerror(errno));
            if (ready == 0) die("no reply for 10 seconds");
            for (int i = 0; i < ready; ++i) {
                Connection& connection = connections_[events[i].data.u32];
                if (events[i].events & EPOLLOUT) write_some(connection);
                if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) read_some(connection);
            }
        }
        ended_ = timed ? stop_at_ : last_reply_;
        if (!timed) counted_from_ = began_;
    }

    void report() const {
        std::vector<std::uint32_t> sorted = samples_;
        std::sort(sorted.begin(), sorted.end());
        const auto percentile = [&](double fraction) {
            if (sorted.empty()) return 0.0;
            const auto at = std::min(sorted.size() - 1,
                                     static_cast<std::size_t>(fraction * static_cast<double>(sorted.size())));
            return sorted[at] / 1000.0;
        };
        const double seconds = std::chrono::duration<double>(ended_ - counted_from_).count();
        std::string first_unexpected;
        for (const char c : first_unexpected_) {
            if (c == '"' || c == '\\') first_unexpected += '\\';
            if (static_cast<unsigned char>(c) >= 0x20) first_unexpected += c;
        }
        std::printf("{\"protocol\":\"%s\",\"connections\":%u,\"requests\":%zu,\"seconds\":%.6f,"
                    "\"requests_per_second\":%.1f,\"p50_us\":%.2f,\"p99_us\":%.2f,"
                    "\"unexpected_replies\":%llu,\"first_unexpected_reply\":\"%s\"}\n",
                    options_.protocol == Protocol::line ? "line" : "resp", options_.connections,
                    samples_.size(), seconds, seconds > 0 ? static_cast<double>(samples_.size()) / seconds : 0.0,
                    percentile(0.50), percentile(0.99),
                    static_cast<unsigned long long>(unexpected_), first_unexpected.c_str());
    }

private:
    static Clock::duration to_duration(double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    bool may_start(Clock::time_point now) const {
        if (options_.requests != 0) return issued_ < options_.requests;
        return now < stop_at_;
    }

    void start_request(Connection& connection) {
        build_request(options_, connection);
        ++issued_;
        ++in_flight_;
        connection.waiting = true;
        connection.sent_at = Clock::now();
        write_some(connection);
    }

    void write_some(Connection& connection) {
        while (connection.written < connection.request.size()) {
            const ssize_t wrote = ::send(connection.socket.fd(),
                                         connection.request.data() + connection.written,
                                         connection.request.size() - connection.written, MSG_NOSIGNAL);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                watch(connection, EPOLLIN | EPOLLOUT);
                return;
            }
            if (wrote < 0) die(std::string("send: ") + std::strerror(errno));
            connection.written += static_cast<std::size_t>(wrote);
        }
        watch(connection, EPOLLIN);
    }

    void watch(Connection& connection, std::uint32_t events) {
        const bool want_out = events & EPOLLOUT;
        if (want_out == watching_out(connection)) return;
        epoll_event event{};
        event.events = events;
        event.data.u32 = connection.index;
        ::epoll_ctl(epoll_.fd(), EPOLL_CTL_MOD, connection.socket.fd(), &event);
        set_watching_out(connection, want_out);
    }

    bool watching_out(const Connection& connection) const { return out_[connection.index]; }
    void set_watching_out(const Connection& connection, bool on) {
        out_[connection.index] = on;
    }

    void read_some(Connection& connection) {
        char buffer[16384];
        for (;;) {
            const ssize_t got = ::recv(connection.socket.fd(), buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (got < 0) die(std::string("recv: ") + std::strerror(errno));
            if (got == 0) die("the server closed connection " + std::to_string(connection.index));
            connection.received.append(buffer, static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < sizeof buffer) break;
        }
        while (const auto length = reply_length(options_.protocol, connection.received)) {
            if (!connection.waiting) die("a reply nobody asked for");
            finish_request(connection, std::string_view(connection.received).substr(0, *length));
            connection.received.erase(0, *length);
        }
    }

    void finish_request(Connection& connection, std::string_view reply) {
        const Clock::time_point now = Clock::now();
        connection.waiting = false;
        --in_flight_;
        last_reply_ = now;
        if (now >= counted_from_ && now <= stop_at_) {
            const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(now - connection.sent_at);
            samples_.push_back(static_cast<std::uint32_t>(
                std::min<std::int64_t>(took.count(), UINT32_MAX)));
            const std::string_view expected =
                options_.protocol == Protocol::line ? (options_.hold ? kLineHeld : kLineExpected)
                                                    : kRespExpected;
            if (trim_reply(reply) != expected) {
                if (unexpected_++ == 0) first_unexpected_ = std::string(trim_reply(reply).substr(0, 200));
            }
        }
        if (may_start(now)) start_request(connection);
    }

    const Options& options_;
    Descriptor epoll_;
    std::vector<Connection> connections_;
    std::vector<bool> out_;  // per connection: waiting to write as well as to read
    std::vector<std::uint32_t> samples_;  // nanoseconds per counted request
    std::uint64_t issued_ = 0;
    std::uint64_t in_flight_ = 0;
    std::uint64_t unexpected_ = 0;
    std::string first_unexpected_;
    Clock::time_point began_, counted_from_, stop_at_, ended_, last_reply_;
};

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--host") options.host = value;
        else if (name == "--port") options.ports.emplace_back(value);
        else if (name == "--connections") options.connections = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (name == "--seconds") options.seconds = std::strtod(value, nullptr);
        else if (name == "--warmup") options.warmup = std::strtod(value, nullptr);
        else if (name == "--requests") options.requests = std::strtoull(value, nullptr, 10);
        else if (name == "--key-prefix") options.key_prefix = value;
        else if (name == "--hold") options.hold = std::string_view(value) == "yes";
        else if (name == "--protocol") {
            if (std::string_view(value) == "line") options.protocol = Protocol::line;
            else if (std::string_view(value) == "resp") options.protocol = Protocol::resp;
            else return false;
        } else {
            return false;
        }
    }
    const bool one_mode = (options.seconds > 0) != (options.requests > 0);
    return argc % 2 == 1 && !options.ports.empty() && options.connections > 0 && one_mode &&
           options.warmup >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s --port N [--port N ...] --protocol line|resp --connections N "
                     "(--seconds S [--warmup S] | --requests N) [--host H] [--key-prefix TEXT] [--hold yes]\n",
                     argv[0]);
        return 2;
    }
    if (options.key_prefix.empty()) {
        // New keys on every run, even against a server that outlives one run.
        const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
        options.key_prefix = std::to_string(::getpid()) + "." + std::to_string(stamp) + ".";
    }
    Generator generator(options);
    generator.run();
    generator.report();
    return 0;
}
