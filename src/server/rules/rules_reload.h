// rules_reload.h: the rules file as serve takes it, at start and again on SIGHUP.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "server/core/rules_in_force.h"
#include "server/rules/rule_set.h"
#include "support/result.h"

namespace latchwork::server {

// Read, checked against the --approvers names, and refused when it asks what serving
// cannot keep yet.
Result<std::shared_ptr<const RuleSet>> load_served_rules(const std::string& path,
                                                         const std::optional<ApproverNames>& names);

// SIGHUP: the rules file read again. A good one is in force for every later decision;
// a bad one leaves the rules in force as they are, and says why. Without rules the
// signal is taken and ignored, so that it never ends the server.
class RulesReload {
public:
    RulesReload(boost::asio::io_context& io, RulesInForce* rules, std::optional<std::string> path,
                std::optional<ApproverNames> names);

    void start();
    void stop();

private:
    void reload();

    boost::asio::signal_set signals_;
    RulesInForce* rules_;
    std::optional<std::string> path_;
    std::optional<ApproverNames> names_;
    std::time_t loaded_at_;
    bool stopped_ = false;
};

}  // namespace latchwork::server
