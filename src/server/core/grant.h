// grant.h: a remembered grant: an approver's "and the like of it too", which releases later effects a rule would hold.
//
// An approval of an effect held by a grantable rule may remember a grant: for a while,
// a new effect that same rule would hold, whose key matches the grant's glob (and run,
// when bound to one) and whose detail meets its conditions, is released at once, on
// the approver's word. Every store keeps its grants with its state, written in the
// batch that made or revoked them.
#pragma once

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace latchwork::server {

struct Grant {
    std::string id;
    std::string rule;        // the rule whose holds it releases
    std::string effect;      // a glob of effect keys
    std::string run;         // the one run it covers; empty: any run
    std::string detail;      // its conditions, a compact JSON object ("{}": none)
    std::string granted_by;  // the approver
    std::int64_t granted_at_ms = 0;
    std::int64_t expires_at_ms = 0;

    bool live_at(std::int64_t now_ms) const noexcept { return now_ms < expires_at_ms; }
    friend bool operator==(const Grant&, const Grant&) = default;
};

// What a person's approval asks to remember, checked at the console already.
struct GrantAsk {
    std::string effect;
    bool this_run = true;     // bound to the approved effect's run
    std::int64_t for_ms = 0;  // already cut to the server's longest grant
    std::string detail;       // the conditions, compact JSON object
};

// The grants a batch decides with, wherever a store keeps them.
class GrantBook {
public:
    // The grants of `rule` (of every rule when empty) live at `now_ms`, oldest first;
    // nullopt when they could not be read (the back end knows why).
    virtual std::optional<std::vector<Grant>> live_grants(std::string_view rule, std::int64_t now_ms) = 0;

protected:
    ~GrantBook() = default;
};

// A new grant's id: 12 random hex digits, unique across servers in practice.
std::string new_grant_id();

// The grant as the console lists it and its audit entries keep it: {"id","rule","effect",
// "run" (null: any),"detail" (its conditions, an object),"granted_by","granted_at","expires_at"}.
boost::json::object grant_json(const Grant& grant);

// The source a grant's release is logged and told with: "grant:ID".
inline std::string grant_source(std::string_view id) { return "grant:" + std::string(id); }

}  // namespace latchwork::server
