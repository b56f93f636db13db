// kept_release.h: what a store keeps with a released effect: the attempt that took it, when, by whose decision, and what performing it produced.
#pragma once

#include <cstdint>
#include <string>

namespace latchwork::server {

// One per effect (run id, effect key), kept until its run is closed. A person's
// approval starts one (`decided_by` only) before its submitter takes the release; the
// submit that takes a release and carries an attempt fills `attempt` and
// `released_at_ms` (and `detail` when the approval changed it); a `complete` by that
// attempt fills the result.
struct KeptRelease {
    std::string run_id;
    std::string effect_key;
    std::string attempt;              // empty: no attempt took it (yet)
    std::int64_t released_at_ms = 0;  // 0: approved, not yet taken
    std::string decided_by;           // decider_name() of the decision that released it
    std::string result;               // canonical JSON; empty until completed
    std::int64_t completed_at_ms = 0;
    // The detail a person approved with changes, handed over with the release and again
    // to its attempt's retry; empty: as submitted.
    std::string detail;

    bool released() const noexcept { return released_at_ms != 0; }
    bool completed() const noexcept { return !result.empty(); }

    friend bool operator==(const KeptRelease&, const KeptRelease&) = default;
};

}  // namespace latchwork::server
