// command_line.h: the options of `latchwork-gate serve`, read from the command line.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "server/cli/bound_options.h"
#include "server/cli/notify_options.h"

namespace latchwork::server {

struct ServeOptions {
    std::string listen = "127.0.0.1:8796";  // the client's default endpoint
    // Durable by default, at an absolute per-user path (default_store.h).
    std::string store;
    bool default_store = false;  // no --store was given: `store` is the default
    bool create = false;         // a SQLite store that vanished may start empty
    std::optional<std::string> secret_file;
    std::vector<std::string> allow;      // --allow networks, as given (read by the server)
    std::optional<std::string> clients;  // file of name:token:scopes lines
    // TLS on the line port: both or neither of cert and key; client_ca requires client certs.
    std::optional<std::string> tls_cert;
    std::optional<std::string> tls_key;
    std::optional<std::string> tls_client_ca;
    std::size_t max_line = 1 << 20;
    std::size_t max_id_bytes = 4096;  // longest run id or effect key
    std::size_t max_detail_bytes = 16 * 1024;       // longest detail, compact
    std::size_t max_result_bytes = 64 * 1024;       // longest result of a complete, compact
    std::chrono::milliseconds max_wait{15 * 60 * 1000};  // longest wait_ms a submit may ask
    std::size_t max_connections = 10'000;
    std::optional<std::string> console;    // HOST:PORT of the approval console; off when absent
    std::optional<std::string> approvers;  // file of name:token lines
    std::optional<std::string> rules;      // the rules file: what needs a person
    bool rules_shadow = false;             // --rules-mode shadow: asked and counted, deciding nothing
    std::chrono::milliseconds hold_timeout{0};  // zero: held effects wait for ever
    std::chrono::milliseconds max_grant{24 * 60 * 60 * 1000};  // the longest a grant lasts
    ServeBounds bounds;
    NotifyOptions notify;  // webhooks: off without --notify
};

// `latchwork-gate log`: the audit log of a store, printed.
struct LogOptions {
    std::string store;  // the default store when none is given
    std::optional<std::string> run;  // only this run's entries
};

struct MigrateOptions {
    std::string store;
};

// `latchwork-gate pending | approve | reject`: an approver's calls to a running console.
enum class ConsoleCommand { pending, approve, reject };

struct ConsoleCommandOptions {
    ConsoleCommand command = ConsoleCommand::pending;
    std::string console;                    // http(s)://HOST:PORT/
    std::optional<std::string> token_file;  // else LATCHWORK_TOKEN; never an argument
    std::string run_id;                     // approve and reject only
    std::string effect_key;
    std::optional<std::string> reason;
    // approve: a grant remembered with the approval (the console's "remember").
    std::optional<std::string> remember;  // the glob of effect keys it covers
    std::string remember_run = "this";    // "this" or "any"
    std::string remember_for = "8h";
    std::optional<std::string> remember_detail;  // JSON text of its conditions
    // approve: changes to the detail, each "POINTER=VALUE" (VALUE read as JSON, else a string).
    std::vector<std::string> set;
};

// `latchwork-gate rules check | test`: a rules file checked, or asked about one submit.
enum class RulesCommand { check, test };

struct RulesCommandOptions {
    RulesCommand command = RulesCommand::check;
    std::string file;
    std::optional<std::string> approvers;  // check: the approvers file whose names rules may use
    std::string run_id;                    // test: the submit asked about
    std::string effect_key;
    std::optional<std::string> client;
    std::optional<std::string> detail;  // JSON text of an object
    bool needs_approval = false;        // what the client asks when no rule matches
};

// The subcommand chosen with its options, or, when none is set, the exit code the
// program ends with at once (after --help, --version or a usage error, whose text has
// been printed; a usage error of ours, like a bad duration, exits with 2).
struct CommandLine {
    std::optional<ServeOptions> serve;
    std::optional<LogOptions> log;
    std::optional<MigrateOptions> migrate;
    std::optional<ConsoleCommandOptions> console_command;
    std::optional<RulesCommandOptions> rules_command;
    bool new_secret = false;  // print a fresh webhook signing key
    int exit_code = 0;
};

CommandLine parse_command_line(int argc, const char* const* argv);

}  // namespace latchwork::server
