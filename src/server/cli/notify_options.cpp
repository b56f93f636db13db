// notify_options.cpp: the serve options that send signed webhooks to receivers of the gate's events.
#include "server/cli/notify_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>

#include "server/cli/duration_text.h"

namespace latchwork::server {

void NotifyOptionReader::add_to(CLI::App& serve, NotifyOptions& options) {
    serve.add_option("--notify", options.urls,
                     "POST every event, signed, to this http:// or https:// URL; slack+https://... "
                     "sends chat messages instead; repeatable")
        ->type_name("URL")
        ->allow_extra_args(false);
    serve.add_option("--notify-secret-file", options.secret_file,
                     "owner-only file with the key notifications are signed with: whsec_ and "
                     "base64, or raw bytes")
        ->type_name("FILE");
    serve.add_option("--notify-events", options.events,
                     "events to send: all, or a comma-separated list of held, approved, rejected, "
                     "expired, taken, cancelled, closed; add auto for releases decided by a rule, "
                     "completed for the results workers record")
        ->capture_default_str();
    serve.add_option("--console-url", options.console_url,
                     "the console's public address (https://gate.example/): notifications link "
                     "to the effect there")
        ->type_name("URL");
    serve.add_option("--notify-ca-file", options.ca_file,
                     "PEM CA certificates receivers' certificates are checked against, instead "
                     "of the system's")
        ->type_name("FILE");
    serve.add_option("--chat-signing-secret-file", options.chat_secret_file,
                     "owner-only file with the chat app's signing secret: chat messages carry "
                     "Approve and Reject buttons, and the console takes their clicks at "
                     "POST /chat/actions")
        ->type_name("FILE");
    serve.add_option("--notify-max-age", max_age_,
                     "give up on a notification not delivered within DURATION of its event "
                     "(default 24h)");
    serve.add_option("--notify-connect-timeout", connect_timeout_,
                     "time to connect to a receiver, as a DURATION (default 5s)");
    serve.add_option("--notify-timeout", timeout_,
                     "time for one delivery attempt, connection included (default 15s)");
}

std::optional<std::string> NotifyOptionReader::read(NotifyOptions& options) const {
    const bool any_other = options.secret_file || options.ca_file || max_age_ || connect_timeout_ ||
                           timeout_ || options.events != "all";
    if (options.urls.empty() && any_other) {
        return "the --notify-* options need --notify: they say how notifications are sent";
    }
    if (!options.urls.empty() && !options.secret_file) {
        return "--notify needs --notify-secret-file: every notification is signed";
    }
    if (options.chat_secret_file) {
        const bool chat_target = std::ranges::any_of(
            options.urls, [](const std::string& url) { return url.starts_with("slack+https://"); });
        if (!chat_target) {
            return "--chat-signing-secret-file needs a --notify slack+https://... target: the buttons are in its "
                   "messages";
        }
        if (!options.console_url) {
            return "--chat-signing-secret-file needs --console-url: the buttons' messages link to the console";
        }
    }
    const auto take = read_duration_option;
    if (auto bad = take(max_age_, "--notify-max-age", options.max_age)) return bad;
    if (auto bad = take(connect_timeout_, "--notify-connect-timeout", options.connect_timeout)) return bad;
    if (auto bad = take(timeout_, "--notify-timeout", options.timeout)) return bad;
    return std::nullopt;
}

}  // namespace latchwork::server
