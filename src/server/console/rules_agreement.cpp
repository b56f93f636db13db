// rules_agreement.cpp: whether the servers sharing a store decide by the same rules.
#include "server/console/rules_agreement.h"

#include <boost/json/array.hpp>

#include <memory>
#include <string>

namespace latchwork::server {
namespace {

boost::json::value digest_value(std::string_view digest) {
    if (digest.empty()) return nullptr;
    return boost::json::string(digest);
}

boost::json::value mode_value(std::string_view digest, bool shadow) {
    if (digest.empty()) return nullptr;
    return boost::json::string(shadow ? "shadow" : "enforce");
}

}  // namespace

boost::json::object rules_agreement_body(const RulesInForce* rules, std::span<const ServerRules> servers) {
    std::string digest;
    bool shadow = false;
    if (rules != nullptr) {
        digest = std::string(rules->current()->digest());
        shadow = rules->mode() == RulesMode::shadow;
    }
    boost::json::array listed;
    bool agree = true;
    for (const ServerRules& server : servers) {
        listed.push_back(boost::json::object{{"server", server.server},
                                             {"digest", digest_value(server.digest)},
                                             {"mode", mode_value(server.digest, server.shadow)},
                                             {"seen_at", server.seen_at_ms}});
        if (server.digest != digest || (!digest.empty() && server.shadow != shadow)) agree = false;
    }
    return boost::json::object{{"digest", digest_value(digest)},
                               {"mode", mode_value(digest, shadow)},
                               {"servers", std::move(listed)},
                               {"agree", agree}};
}

}  // namespace latchwork::server
