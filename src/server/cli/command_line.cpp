// command_line.cpp: the options of `latchwork-gate serve`, read from the command line.
#include "server/cli/command_line.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
#include <tuple>
#include <utility>

#include "server/cli/duration_text.h"
#include "server/cli/default_store.h"
#include "server/core/diagnostics.h"

namespace latchwork::server {

namespace {

CommandLine exit_with(int code) {
    CommandLine ended;
    ended.exit_code = code;
    return ended;
}

// A usage error of ours: one line, exit code 2.
CommandLine refuse(const std::string& text) {
    std::cerr << "latchwork-gate: " << text << std::endl;
    return exit_with(2);
}

constexpr std::string_view kSubcommands = "serve, log, migrate, pending, approve, reject, rules, new-secret";

// CLI11 would call any unknown word a missing subcommand; the person is told which
// word was not one and what the subcommands are.
std::optional<std::string> unknown_subcommand(int argc, const char* const* argv) {
    if (argc < 2) return std::nullopt;
    const std::string_view first = argv[1];
    if (first.empty() || first.starts_with('-')) return std::nullopt;
    for (std::string_view known : {"serve", "log", "migrate", "pending", "approve", "reject", "rules", "new-secret"}) {
        if (first == known) return std::nullopt;
    }
    return std::string(first);
}

// The options every approver command takes: where the console is and where the token is.
void add_console_options(CLI::App& command, ConsoleCommandOptions& options) {
    command.add_option("--console", options.console,
                       "the console's URL, as the server printed it: http://HOST:PORT/ "
                       "(https:// too)")
        ->required();
    command.add_option("--token-file", options.token_file,
                       "file (owner-only) holding the bearer token; else LATCHWORK_TOKEN is read")
        ->type_name("FILE");
}

void add_decision(CLI::App& command, ConsoleCommandOptions& options) {
    add_console_options(command, options);
    command.add_option("RUN", options.run_id, "the run id")->required();
    command.add_option("EFFECT", options.effect_key, "the effect key")->required();
    command.add_option("--reason", options.reason, "why, kept in the audit log")->type_name("TEXT");
}

constexpr std::string_view kNoHome =
    "no home directory for the default store: pass --store or set XDG_STATE_HOME";

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
    CLI::App app{"latchwork-gate: an approval gate shared by every client that connects",
                 "latchwork-gate"};
    app.set_version_flag("--version", std::string("latchwork-gate ") + LATCHWORK_VERSION);
    app.require_subcommand(1);

    // Shown by --help as it is for this user; empty when there is no home to put it in.
    const std::string default_store = default_store_url().value_or("");
    ServeOptions options;
    options.store = default_store;
    bool serve_chosen = false;
    CLI::App* serve = app.add_subcommand("serve", "answer gate requests over TCP");
    serve->add_option("--listen", options.listen,
                      "HOST:PORT to listen on; HOST an IPv4 address, [IPv6] or a name; "
                      "port 0 takes a free port")
        ->capture_default_str();
    serve->add_option("--store", options.store,
                      "where state is kept: sqlite:PATH (durable), postgresql://... "
                      "(durable, shared by several servers) or memory: (lost at exit); "
                      "the default is under $XDG_STATE_HOME or ~/.local/state")
        ->capture_default_str();
    serve->add_flag("--create", options.create,
                    "start an empty gate although the SQLite store a server used before is gone");
    serve->add_option("--secret-file", options.secret_file,
                      "file whose bytes are the secret every decision must be tagged with");
    serve->add_option("--allow", options.allow,
                      "CIDR (10.0.0.0/8, 2001:db8::/32, or one address) whose peers may use "
                      "the line port without a client token; repeatable. Needed, or "
                      "--clients, to listen on anything but loopback")
        ->type_name("CIDR")
        ->allow_extra_args(false);  // one network per --allow, as the help says
    serve->add_option("--clients", options.clients,
                      "file of name:token:scopes lines (scopes among submit, decide, admin): "
                      "clients that say hello with a token and are held to their scopes")
        ->type_name("FILE");
    serve->add_option("--tls-cert", options.tls_cert,
                      "PEM certificate chain: every line-port connection speaks TLS (1.2 or later)")
        ->type_name("FILE");
    serve->add_option("--tls-key", options.tls_key, "PEM private key of --tls-cert (owner-only)")
        ->type_name("FILE");
    serve->add_option("--tls-client-ca", options.tls_client_ca,
                      "PEM CA certificates: line-port clients must present a certificate they signed")
        ->type_name("FILE");
    serve->add_option("--max-line", options.max_line, "longest request line in bytes")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve->add_option("--max-id-bytes", options.max_id_bytes,
                      "longest run id or effect key in bytes; longer ones are refused")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve->add_option("--max-detail", options.max_detail_bytes,
                      "longest detail of a submit in bytes (compact JSON); longer ones are refused")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve->add_option("--max-result", options.max_result_bytes,
                      "longest result a worker records for a released effect, in bytes (compact JSON); "
                      "longer ones are refused")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    std::optional<std::string> max_wait;
    serve->add_option("--max-wait", max_wait,
                      "longest wait_ms a submit may ask for, as a DURATION (default 15m)");
    std::optional<std::string> max_grant;
    serve->add_option("--max-grant", max_grant,
                      "longest a grant remembered with an approval lasts, as a DURATION (default 24h); "
                      "a longer one is cut to it");
    serve->add_option("--max-connections", options.max_connections,
                      "connections served at once; more are closed at once")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve->add_option("--console", options.console,
                      "HOST:PORT of the approval console and its HTTP API (off by default); "
                      "port 0 takes a free port");
    serve->add_option("--approvers", options.approvers,
                      "file of name:token lines, one per approver allowed to use the console");
    serve->add_option("--rules", options.rules,
                      "TOML file of rules that release, hold or reject new effects whatever the "
                      "client asked (see `latchwork-gate rules check`); SIGHUP reads it again")
        ->type_name("FILE");
    std::string rules_mode = "enforce";
    serve->add_option("--rules-mode", rules_mode,
                      "enforce: the rules decide; shadow: they are only counted, and where they "
                      "would have decided otherwise the audit log says so")
        ->capture_default_str()
        ->check(CLI::IsMember({"enforce", "shadow"}));
    std::optional<std::string> hold_timeout;
    serve->add_option("--hold-timeout", hold_timeout,
                      "reject a held effect not decided within DURATION (900ms, 30s, 15m, 2h); "
                      "off by default");
    BoundOptions bound_options;
    bound_options.add_to(*serve, options.bounds);
    NotifyOptionReader notify_options;
    notify_options.add_to(*serve, options.notify);
    serve->callback([&] {
        serve_chosen = true;
        options.rules_shadow = rules_mode == "shadow";
    });

    LogOptions log;
    log.store = default_store;
    bool log_chosen = false;
    CLI::App* log_command = app.add_subcommand("log", "print a store's audit log, oldest first");
    log_command->add_option("--store", log.store, "the store to read: sqlite:PATH or postgresql://...")
        ->capture_default_str();
    log_command->add_option("--run", log.run, "only the entries of this run id");
    log_command->callback([&] { log_chosen = true; });

    MigrateOptions migrate_options;
    bool migrate_chosen = false;
    CLI::App* migrate = app.add_subcommand(
        "migrate", "create or upgrade the tables of a shared store before servers use it");
    migrate->add_option("--store", migrate_options.store, "the store: postgresql://...")
        ->required();
    migrate->callback([&] { migrate_chosen = true; });

    ConsoleCommandOptions pending_options;
    pending_options.command = ConsoleCommand::pending;
    CLI::App* pending = app.add_subcommand(
        "pending", "list the effects waiting for a decision on a running console");
    add_console_options(*pending, pending_options);
    ConsoleCommandOptions approve_options;
    approve_options.command = ConsoleCommand::approve;
    CLI::App* approve = app.add_subcommand("approve", "approve a waiting effect on a running console");
    add_decision(*approve, approve_options);
    approve->add_option("--remember", approve_options.remember,
                        "also remember a grant: later effects the same rule would hold whose key matches GLOB "
                        "are released without asking, until it expires or is revoked")
        ->type_name("GLOB");
    approve->add_option("--remember-run", approve_options.remember_run,
                        "this: only in the approved effect's run; any: in every run")
        ->capture_default_str()
        ->check(CLI::IsMember({"this", "any"}));
    approve->add_option("--remember-for", approve_options.remember_for,
                        "how long the grant lasts (at most the server's --max-grant)")
        ->capture_default_str()
        ->type_name("DURATION");
    approve->add_option("--remember-detail", approve_options.remember_detail,
                        "conditions the detail must meet, as JSON: '{\"/amount\": {\"le\": 10}}'")
        ->type_name("JSON");
    approve->add_option("--set", approve_options.set,
                        "approve with a changed detail: the member at POINTER (one the submitter marked editable) "
                        "becomes VALUE, read as JSON, else as a string; repeatable")
        ->type_name("POINTER=VALUE")
        ->allow_extra_args(false);
    ConsoleCommandOptions reject_options;
    reject_options.command = ConsoleCommand::reject;
    CLI::App* reject = app.add_subcommand("reject", "reject a waiting effect on a running console");
    add_decision(*reject, reject_options);
    RulesCommandOptions check_options;
    check_options.command = RulesCommand::check;
    RulesCommandOptions test_options;
    test_options.command = RulesCommand::test;
    CLI::App* rules = app.add_subcommand("rules", "check a rules file, or ask it about one submit");
    rules->require_subcommand(1);
    CLI::App* check = rules->add_subcommand(
        "check", "read a rules file and report its first problem, or how many rules it has");
    check->add_option("FILE", check_options.file, "the rules file (TOML)")->required();
    check->add_option("--approvers", check_options.approvers,
                      "the console's approvers file: every name a rule or group uses must be in it")
        ->type_name("FILE");
    CLI::App* test = rules->add_subcommand("test", "say which rule a submit meets and what it does");
    test->add_option("FILE", test_options.file, "the rules file (TOML)")->required();
    test->add_option("--run", test_options.run_id, "the submit's run id")->required();
    test->add_option("--effect", test_options.effect_key, "the submit's effect key")->required();
    test->add_option("--client", test_options.client, "the client's hello name (none: an unnamed client)");
    test->add_option("--detail", test_options.detail, "the submit's detail, a JSON object")->type_name("JSON");
    test->add_flag("--needs-approval", test_options.needs_approval,
                   "the submit asks for approval (what decides when no rule matches)");
    bool new_secret_chosen = false;
    app.add_subcommand("new-secret", "print a fresh key for --notify-secret-file (whsec_ and base64)")
        ->callback([&] { new_secret_chosen = true; });
    app.footer(
        "rules check and rules test exit with 2 when the rules file or --detail is bad. "
        "pending, approve and reject exit with 0 when done, 1 when the console refused "
        "(already decided, or a viewer's token), 2 on a usage error, 3 when the console "
        "could not be reached or failed.");

    if (std::optional<std::string> word = unknown_subcommand(argc, argv)) {
        return refuse("unknown subcommand \"" + *word + "\"; the subcommands are " +
                      std::string(kSubcommands));
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        // The approver and rules commands promise scripts 2 for every usage error.
        const std::string_view first = argc > 1 ? argv[1] : "";
        const bool console_command = first == "pending" || first == "approve" || first == "reject" ||
                                     first == "rules";
        return exit_with(console_command && code != 0 ? 2 : code);
    }
    for (auto [command, options] : {std::pair{pending, &pending_options}, std::pair{approve, &approve_options},
                                    std::pair{reject, &reject_options}}) {
        if (!command->parsed()) continue;
        CommandLine chosen;
        chosen.console_command = std::move(*options);
        return chosen;
    }
    for (auto [command, options] : {std::pair{check, &check_options}, std::pair{test, &test_options}}) {
        if (!command->parsed()) continue;
        CommandLine chosen;
        chosen.rules_command = std::move(*options);
        return chosen;
    }
    if (new_secret_chosen) {
        CommandLine chosen;
        chosen.new_secret = true;
        return chosen;
    }
    if (log_chosen) {
        if (log.store.empty() && log_command->count("--store") == 0) return refuse(std::string(kNoHome));
        CommandLine chosen;
        chosen.log = std::move(log);
        return chosen;
    }
    if (migrate_chosen) {
        CommandLine chosen;
        chosen.migrate = std::move(migrate_options);
        return chosen;
    }
    if (!serve_chosen) return exit_with(2);
    options.default_store = serve->count("--store") == 0;
    if (options.default_store && options.store.empty()) return refuse(std::string(kNoHome));
    if (options.approvers && !options.console) {
        return refuse("--approvers needs --console: the approvers are who may use the console");
    }
    if (options.notify.chat_secret_file && !options.approvers) {
        return refuse("--chat-signing-secret-file needs --console and --approvers: a click decides as the "
                      "approver whose chat= it is");
    }
    if (serve->count("--rules-mode") != 0 && !options.rules) {
        return refuse("--rules-mode needs --rules: the rules it enforces or shadows");
    }
    if (options.tls_cert.has_value() != options.tls_key.has_value()) {
        return refuse("--tls-cert and --tls-key go together: give both or neither");
    }
    if (options.tls_client_ca && !options.tls_cert) {
        return refuse("--tls-client-ca needs --tls-cert and --tls-key: client certificates are checked over TLS");
    }
    if (std::optional<std::string> bad = bound_options.read(options.bounds)) {
        diagnose(*bad);
        return exit_with(2);
    }
    if (std::optional<std::string> bad = notify_options.read(options.notify)) {
        diagnose(*bad);
        return exit_with(2);
    }
    for (auto [name, text, into] : {std::tuple{"--hold-timeout", &hold_timeout, &options.hold_timeout},
                                    std::tuple{"--max-wait", &max_wait, &options.max_wait},
                                    std::tuple{"--max-grant", &max_grant, &options.max_grant}}) {
        if (std::optional<std::string> bad = read_duration_option(*text, name, *into)) {
            diagnose(*bad);
            return exit_with(2);
        }
    }
    CommandLine chosen;
    chosen.serve = std::move(options);
    return chosen;
}

}  // namespace latchwork::server
