// rules_reload.cpp: the rules file as serve takes it, at start and again on SIGHUP.
#include "server/rules/rules_reload.h"

#include <csignal>

#include "server/core/diagnostics.h"

namespace latchwork::server {
namespace {

// "HH:MM:SSZ", UTC, of a wall-clock time.
std::string utc_clock_text(std::time_t at) {
    std::tm parts{};
    gmtime_r(&at, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%SZ", &parts);
    return text;
}

}  // namespace

Result<std::shared_ptr<const RuleSet>> load_served_rules(const std::string& path,
                                                         const std::optional<ApproverNames>& names) {
    Result<RuleSet> read = RuleSet::load(path, names);
    if (!read) return std::move(read).take_failure();
    if (std::optional<std::string> unkept = read.value().unenforced()) return Failure{*unkept};
    return std::shared_ptr<const RuleSet>(std::make_shared<RuleSet>(std::move(read).value()));
}

RulesReload::RulesReload(boost::asio::io_context& io, RulesInForce* rules, std::optional<std::string> path,
                         std::optional<ApproverNames> names)
    : signals_(io, SIGHUP), rules_(rules), path_(std::move(path)), names_(std::move(names)),
      loaded_at_(std::time(nullptr)) {}

void RulesReload::start() {
    signals_.async_wait([this](const boost::system::error_code& error, int) {
        // A signal taken just before the stop may still come: it must not wait again,
        // or the server would never end.
        if (error || stopped_) return;
        reload();
        start();
    });
}

void RulesReload::stop() {
    stopped_ = true;
    boost::system::error_code ignored;
    signals_.cancel(ignored);
}

void RulesReload::reload() {
    if (rules_ == nullptr || !path_) return;
    Result<std::shared_ptr<const RuleSet>> loaded = load_served_rules(*path_, names_);
    if (!loaded) {
        diagnose("rules " + loaded.error() + "; keeping the rules loaded at " + utc_clock_text(loaded_at_));
        return;
    }
    const std::size_t count = loaded.value()->rules().size();
    rules_->replace(std::move(loaded).value());
    loaded_at_ = std::time(nullptr);
    diagnose("rules " + *path_ + ": reloaded, " + std::to_string(count) + (count == 1 ? " rule" : " rules"));
}

}  // namespace latchwork::server
