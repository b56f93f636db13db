// notify_options.h: the serve options that send signed webhooks to receivers of the gate's events.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace latchwork::server {

struct NotifyOptions {
    std::vector<std::string> urls;          // --notify, as given (read by the notifier)
    std::optional<std::string> secret_file; // the signing key, owner-only
    std::string events = "all";             // --notify-events, a comma-separated list
    std::optional<std::string> console_url; // the console's public base, for links
    std::optional<std::string> ca_file;     // receivers' CAs instead of the system's
    // The chat app's signing secret, owner-only: chat messages carry Approve and Reject
    // buttons, whose clicks the console takes at /chat/actions.
    std::optional<std::string> chat_secret_file;
    std::chrono::milliseconds max_age = std::chrono::hours(24);
    std::chrono::milliseconds connect_timeout = std::chrono::seconds(5);
    std::chrono::milliseconds timeout = std::chrono::seconds(15);
};

// Adds the options to `serve`; read() checks them and reads their durations once parsed.
class NotifyOptionReader {
public:
    void add_to(CLI::App& serve, NotifyOptions& options);
    // A usage error's text, or nothing when the options go together and read.
    std::optional<std::string> read(NotifyOptions& options) const;

private:
    std::optional<std::string> max_age_, connect_timeout_, timeout_;
};

}  // namespace latchwork::server
