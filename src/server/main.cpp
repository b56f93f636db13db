// main.cpp: latchwork-gate, the gate server: start-up, serving, orderly exit.
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <iostream>
#include <string>
#include <vector>

#include "server/approve/approver_commands.h"
#include "server/cli/command_line.h"
#include "server/cli/new_secret.h"
#include "server/cli/rules_commands.h"
#include "server/rules/rule_set.h"
#include "server/rules/rules_reload.h"
#include "server/net/gate_server.h"
#include "server/net/hold_expiry.h"
#include "server/console/console.h"
#include "server/net/line_access.h"
#include "server/net/listen_address.h"
#include "server/net/tls_context.h"
#include "server/notify/notifier.h"
#include "server/notify/webhook_post.h"
#include "server/notify/webhook_signature.h"
#include "server/cli/clients_file.h"
#include "server/cli/open_files_limit.h"
#include "server/store/request_handler.h"
#include "server/cli/secret_file.h"
#include "server/core/diagnostics.h"
#include "server/store/by_url/shared_store_commands.h"
#include "server/store/by_url/store_url.h"

namespace {

using namespace latchwork;
using namespace latchwork::server;

// The access rules of the line port, nullopt when none were given (every peer may
// speak, as the server listens on loopback only), or the one line that refuses them.
// What is weak about the clients taken goes to `warnings`, to be said once the start
// is sure.
Result<std::optional<LineAccess>> line_access_from(const ServeOptions& options,
                                                   std::vector<std::string>& warnings) {
    if (options.allow.empty() && !options.clients) return std::optional<LineAccess>();
    std::vector<NetworkRange> allow;
    for (const std::string& text : options.allow) {
        Result<NetworkRange> range = NetworkRange::parse(text);
        if (!range) return Failure{"--allow \"" + text + "\": " + range.error()};
        allow.push_back(range.value());
    }
    std::optional<ClientTokens> clients;
    if (options.clients) {
        Result<ClientTokens> loaded = load_clients_file(*options.clients);
        if (!loaded) return std::move(loaded).take_failure();
        warnings = client_token_warnings(loaded.value());
        clients = std::move(loaded).value();
    }
    return std::optional<LineAccess>(std::in_place, std::move(allow), std::move(clients));
}

AuditBounds audit_bounds(const ServeBounds& bounds) {
    return AuditBounds{bounds.audit_retention, bounds.audit_max_entries};
}

void set_line_bounds(ServerLimits& limits, const ServeBounds& bounds) {
    limits.max_connections_per_peer = bounds.max_connections_per_peer;
    limits.line_timeout = bounds.line_timeout;
    limits.write_timeout = bounds.write_timeout;
    limits.idle_timeout = bounds.idle_timeout;
}

ConsoleLimits console_limits(const ServeOptions& options) {
    const ServeBounds& bounds = options.bounds;
    ConsoleLimits limits;
    // An entry's ids and detail as requests may bring them; its reason is at most a
    // console body; its source and the rest fit in a kilobyte.
    limits.max_audit_entry = 2 * options.max_id_bytes + std::max(options.max_detail_bytes, options.max_result_bytes) +
                             limits.max_body + 1024;
    limits.header_timeout = bounds.console_header_timeout;
    limits.write_timeout = bounds.write_timeout;
    limits.max_connections_per_peer = bounds.console_max_connections_per_peer;
    limits.max_connections = bounds.console_max_connections;
    limits.reserved_for_tokens = bounds.console_max_connections / 10;
    limits.max_subscribers = bounds.max_subscribers;
    limits.event_heartbeat = bounds.event_heartbeat;
    limits.follow = FollowSettings::for_store(bounds.store_timeout, bounds.audit_retention);
    return limits;
}

// What the notifier needs, read and checked before the store is opened.
struct NotifyStart {
    NotifySettings settings;
    SecretBytes key;
    std::unique_ptr<boost::asio::ssl::context> tls;
};

Result<std::optional<NotifyStart>> notify_start_from(const NotifyOptions& options) {
    // Held replies link to the console too, with or without receivers.
    if (options.console_url && !options.console_url->starts_with("http://") &&
        !options.console_url->starts_with("https://")) {
        return Failure{"--console-url: an http:// or https:// address"};
    }
    if (options.urls.empty()) return std::optional<NotifyStart>();
    NotifyStart start;
    for (const std::string& url : options.urls) {
        Result<NotifyTarget> target = parse_notify_target(url);
        if (!target) return std::move(target).take_failure();
        start.settings.targets.push_back(std::move(target).value());
    }
    Result<WebhookEvents> events = parse_webhook_events(options.events);
    if (!events) return std::move(events).take_failure();
    start.settings.events = events.value();
    if (options.console_url) start.settings.console_url = *options.console_url;
    start.settings.chat_buttons = options.chat_secret_file.has_value();
    start.settings.delivery.max_age = options.max_age;
    start.settings.delivery.limits.connect_timeout = options.connect_timeout;
    start.settings.delivery.limits.total_timeout = options.timeout;
    Result<SecretBytes> file = load_secret_file(*options.secret_file);
    if (!file) return Failure{"--notify-secret-file: " + file.error()};
    Result<SecretBytes> key = webhook_key(file.value());
    if (!key) return Failure{"--notify-secret-file " + *options.secret_file + ": " + key.error()};
    start.key = std::move(key).value();
    Result<std::unique_ptr<boost::asio::ssl::context>> tls = make_notify_tls_context(options.ca_file);
    if (!tls) return std::move(tls).take_failure();
    start.tls = std::move(tls).value();
    return std::optional<NotifyStart>(std::move(start));
}

// The console's side of the chat buttons: the app's signing secret, and where the
// outcome of a click may be sent (the chat targets' hosts, with the notifier's CAs).
Result<std::unique_ptr<ChatActions>> chat_actions_from(const NotifyOptions& options) {
    if (!options.chat_secret_file) return std::unique_ptr<ChatActions>();
    Result<SecretBytes> file = load_secret_file(*options.chat_secret_file);
    if (!file) return Failure{"--chat-signing-secret-file: " + file.error()};
    // The platform shows the secret as text to copy; an editor's line feed is not part of it.
    std::span<const std::uint8_t> bytes = file.value().view();
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes = bytes.first(bytes.size() - 1);
    if (bytes.empty()) return Failure{"--chat-signing-secret-file " + *options.chat_secret_file + ": empty"};
    SecretBytes secret;
    secret.assign(bytes);
    std::vector<std::string> hosts;
    for (const std::string& url : options.urls) {
        Result<NotifyTarget> target = parse_notify_target(url);
        if (target && target.value().format == NotifyFormat::slack && target.value().tls) {
            hosts.push_back(target.value().host);
        }
    }
    Result<std::unique_ptr<boost::asio::ssl::context>> tls = make_notify_tls_context(options.ca_file);
    if (!tls) return std::move(tls).take_failure();
    return std::make_unique<ChatActions>(std::move(secret), std::move(hosts), std::move(tls).value());
}

int serve(const ServeOptions& options) {
    if (std::string problem = raise_open_files_limit(); !problem.empty()) diagnose(problem);

    std::optional<SecretBytes> secret;  // wiped when serving ends, whichever way
    if (options.secret_file) {
        Result<SecretBytes> loaded = load_secret_file(*options.secret_file);
        if (!loaded) {
            diagnose(loaded.error());
            return 2;
        }
        secret = std::move(loaded).value();
    }
    Result<boost::asio::ip::tcp::endpoint> at = parse_listen_address(options.listen);
    if (!at) {
        diagnose(at.error());
        return 2;
    }
    std::vector<std::string> client_warnings;
    Result<std::optional<LineAccess>> access = line_access_from(options, client_warnings);
    if (!access) {
        diagnose(access.error());
        return 2;
    }
    if (auto problem = unprotected_listen_problem(at.value().address(), access.value().has_value())) {
        diagnose(*problem);
        return 2;
    }

    std::unique_ptr<boost::asio::ssl::context> tls;  // outlives the server, which uses it
    if (options.tls_cert && options.tls_key) {
        Result<std::unique_ptr<boost::asio::ssl::context>> made =
            make_tls_context(TlsFiles{*options.tls_cert, *options.tls_key, options.tls_client_ca});
        if (!made) {
            diagnose(made.error());
            return 2;
        }
        tls = std::move(made).value();
    }

    // Read before the store opens, so that a bad file leaves nothing behind; it outlives
    // the store, which decides by it.
    // A reload checks against the same names.
    std::optional<RulesInForce> rules;
    std::optional<ApproverNames> rule_approvers;
    if (options.rules) {
        if (options.approvers) {
            Result<ApproverNames> loaded = load_approver_names(*options.approvers);
            if (!loaded) {
                diagnose(loaded.error());
                return 2;
            }
            rule_approvers = std::move(loaded).value();
        }
        Result<std::shared_ptr<const RuleSet>> read = load_served_rules(*options.rules, rule_approvers);
        if (!read) {
            diagnose(read.error());
            return 2;
        }
        rules.emplace(std::move(read).value(), options.rules_shadow ? RulesMode::shadow : RulesMode::enforce);
    }

    Result<std::optional<NotifyStart>> notify = notify_start_from(options.notify);
    if (!notify) {
        diagnose(notify.error());
        return 2;
    }

    Result<std::unique_ptr<ChatActions>> chat = chat_actions_from(options.notify);
    if (!chat) {
        diagnose(chat.error());
        return 2;
    }

    std::optional<boost::asio::ip::tcp::endpoint> console_at;
    std::optional<Approvers> approvers;
    std::string open_console;
    if (options.console) {
        Result<boost::asio::ip::tcp::endpoint> parsed = parse_listen_address(*options.console);
        if (!parsed) {
            diagnose(parsed.error());
            return 2;
        }
        auto who = console_approvers(parsed.value(), options.approvers, secret.has_value(),
                                     open_console);
        if (!who) {
            diagnose(who.error());
            return 2;
        }
        console_at = parsed.value();
        approvers = std::move(who).value();
    }

    // Opened once everything else is known to be sound, so that a refused start
    // leaves no new file behind.
    // Declared before the store, which posts its commits to it: it outlives the store.
    boost::asio::io_context io(1);
    Result<OpenedStore> opened = open_store(options.store, io, audit_bounds(options.bounds),
                                            StoreFileSteps{options.default_store, options.create},
                                            options.bounds.store_timeout);
    if (!opened) {
        diagnose(opened.error());
        return 2;
    }
    if (opened.value().warning) diagnose(*opened.value().warning);
    Store& store = *opened.value().store;

    // What expired while the server was down is rejected before anyone is answered.
    store.set_hold_timeout(options.hold_timeout);
    if (rules) store.set_rules(&*rules);
    if (options.notify.console_url) store.set_console_url(*options.notify.console_url);
    if (Result<std::monostate> loaded = store.load(); !loaded) {
        diagnose("cannot load the store: " + loaded.error());
        return 1;
    }
    RequestHandler handler(store, secret ? &*secret : nullptr);
    handler.set_request_limits(
        RequestLimits{options.max_id_bytes, options.max_detail_bytes,
                      static_cast<std::uint64_t>(options.max_wait.count()), options.max_result_bytes});
    HoldExpiry expiry(io, store);
    std::optional<Notifier> notifier;
    if (notify.value()) {
        NotifyStart& start = *notify.value();
        start.settings.follow =
            FollowSettings::for_store(options.bounds.store_timeout, options.bounds.audit_retention);
        notifier.emplace(io, handler, store, std::move(start.settings), std::move(start.key),
                         std::move(start.tls), opened.value().notify_cursors);
    }
    ServerLimits limits;
    limits.max_line = options.max_line;
    limits.max_connections = options.max_connections;
    set_line_bounds(limits, options.bounds);
    GateServer server(io, handler, store, limits);
    RulesReload reload(io, rules ? &*rules : nullptr, options.rules, std::move(rule_approvers));
    if (access.value()) server.set_line_access(&*access.value());
    server.set_tls(tls.get());
    server.set_timer_stop([&expiry, &notifier, &reload] {
        expiry.stop();
        reload.stop();
        if (notifier) notifier->stop();
    });
    Result<boost::asio::ip::tcp::endpoint> bound = server.listen(at.value());
    if (!bound) {
        diagnose("cannot listen on " + options.listen + ": " + bound.error());
        return 1;
    }
    diagnose("store " + opened.value().name);
    std::optional<Console> console;
    std::optional<boost::asio::ip::tcp::endpoint> console_bound;
    if (console_at) {
        console.emplace(io, handler, store, server, std::move(approvers), console_limits(options));
        Result<boost::asio::ip::tcp::endpoint> listening = console->listen(*console_at);
        if (!listening) {
            diagnose("cannot listen on " + *options.console + ": " + listening.error());
            return 1;
        }
        console_bound = listening.value();
        if (notifier) console->set_notifier(&*notifier);
        if (rules) console->set_rules(&*rules);
        console->set_max_grant(options.max_grant);
        if (chat.value()) console->set_chat(chat.value().get());
        if (!open_console.empty()) diagnose(open_console);
    }
    if (!secret) diagnose("no --secret-file: decisions are not authenticated");
    if (tls) {
        diagnose(options.tls_client_ca ? "line port: TLS, client certificates required"
                                       : "line port: TLS");
    }
    // Said once the start is sure, so that a refused start stays one line.
    if (secret) for (const std::string& warning : secret_warnings(*secret)) diagnose(warning);
    for (const std::string& warning : client_warnings) diagnose(warning);
    server.start();
    reload.start();
    if (console) console->start();
    expiry.start();
    if (notifier) notifier->start();
    std::printf("listening on %s\n", endpoint_text(bound.value()).c_str());
    if (console_bound) {
        std::printf("console on http://%s/\n", endpoint_text(*console_bound).c_str());
    }
    std::fflush(stdout);
    io.run();
    // The failure was said when it happened; the exit code says it to a supervisor.
    return store.failure() ? 1 : 0;
}

// `latchwork-gate log`: 0 when printed, 2 for a URL that names no readable store, 1
// when the store could not be read.
int print_log(const LogOptions& options) {
    AuditQuery query;
    query.run = options.run;
    bool bad_url = false;
    Result<std::vector<AuditEntry>> entries = read_store_log(options.store, query, bad_url);
    if (!entries) {
        diagnose(entries.error());
        return bad_url ? 2 : 1;
    }
    std::string text;
    for (const AuditEntry& entry : entries.value()) {
        text += audit_line(entry);
        text += '\n';
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int migrate(const MigrateOptions& options) {
    Result<int> migrated = migrate_store(options.store);
    if (!migrated) {
        diagnose(migrated.error());
        return 2;
    }
    std::printf("schema version %d\n", migrated.value());
    return 0;
}

// The key goes to standard output alone, so that `latchwork-gate new-secret > FILE` is
// the whole file.
int print_new_secret() {
    Result<std::string> key = new_webhook_secret();
    if (!key) {
        diagnose(key.error());
        return 1;
    }
    std::printf("%s\n", key.value().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const CommandLine command = parse_command_line(argc, argv);
        if (command.log) return print_log(*command.log);
        if (command.migrate) return migrate(*command.migrate);
        if (command.console_command) return run_console_command(*command.console_command);
        if (command.rules_command) return run_rules_command(*command.rules_command, load_approver_names);
        if (command.new_secret) return print_new_secret();
        if (!command.serve) return command.exit_code;
        return serve(*command.serve);
    } catch (const std::exception& fault) {
        diagnose(std::string("internal fault: ") + fault.what());
    } catch (...) {
        diagnose("internal fault");
    }
    return 70;
}
