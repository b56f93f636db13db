// gate_server.cpp: a fixed-answer gate server for the client benchmarks, on 127.0.0.1 only.
//
//   gate_server [--port N] [--max-seconds S] [--reply LINE]
//
// Answers every request line with one fixed reply line (default {"verdict":"release"}),
// so that the server's own work never dominates a round trip. Prints the port it
// listens on (an ephemeral one unless --port is given) on standard output, then serves
// one thread per connection. It exits when standard input closes or after
// --max-seconds (default 600), whichever comes first, so it cannot outlive the
// benchmark that started it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

struct Options {
    unsigned port = 0;
    unsigned max_seconds = 600;
    std::string reply = R"({"verdict":"release"})";
};

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// One reply per line feed received; replies to lines that arrive together go out in
// one write.
void serve(int fd, const std::string& reply_line) {
    const Socket connection(fd);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<char> buffer(64 * 1024);
    std::string replies;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        const auto lines = std::count(buffer.data(), buffer.data() + got, '\n');
        if (lines == 0) continue;
        replies.clear();
        for (long i = 0; i < lines; ++i) replies += reply_line;
        if (!write_all(fd, replies.data(), replies.size())) return;
    }
}

// Ends the whole process once standard input reaches end of file: the benchmark that
// started us holds the other end of that pipe, even if it dies without cleaning up.
void exit_when_stdin_closes() {
    char scratch[256];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, scratch, sizeof scratch);
        if (got == 0 || (got < 0 && errno != EINTR)) std::_Exit(0);
    }
}

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        if (name == "--port") {
            options.port = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (name == "--max-seconds") {
            options.max_seconds = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (name == "--reply") {
            options.reply = argv[i + 1];
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options.port < 65536 && options.max_seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--port N] [--max-seconds S] [--reply LINE]\n", argv[0]);
        return 2;
    }
    const std::string reply_line = options.reply + "\n";
    ::alarm(options.max_seconds);  // SIGALRM's default action ends the process

    const Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.fd() < 0) {
        std::perror("socket");
        return 1;
    }
    const int on = 1;
    ::setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(listener.fd(), 64) < 0 ||
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        std::perror("bind/listen");
        return 1;
    }
    std::printf("%u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::thread(exit_when_stdin_closes).detach();
    for (;;) {
        const int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("accept");
            return 1;
        }
        std::thread(serve, fd, std::cref(reply_line)).detach();
    }
}
