// reply.h: a reply line with the verdict it says as a value, so no one reads the verdict back from the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "gate/verdict_kind.h"

namespace latchwork::server {

// The "verdict" member of a reply line, with what goes with it.
struct ReplyVerdict {
    enum class Kind : std::uint8_t {
        gate,             // a gate operation's verdict: `gate` says which
        approved,         // a person's approval, handed to the effect's submitter
        approval_recorded,  // a person's approval, short of its rule's quorum: still held
        already_decided,  // a person decided what was no longer held: `state` says what it is
        completed,        // a complete recorded the result of performing its effect
        ok,               // cancel, close_run, hello and the reads (flags and counts)
        pong,
        error,            // refused: `message` says why
    };

    Kind kind = Kind::ok;
    VerdictKind gate = VerdictKind::release;
    std::string_view state;  // fixed text (effect_state_name), so it outlives any ledger
    std::string message;
    bool forbidden = false;  // error: the person who asked may not decide this (the console's 403)
    bool conflict = false;   // error: the person who asked approved this already (the console's 409)
    unsigned status = 0;     // error: the console's status for it, when not 403 or 503 (a grant's 422, 404)

    static ReplyVerdict of(VerdictKind verdict) noexcept {
        ReplyVerdict made;
        made.kind = Kind::gate;
        made.gate = verdict;
        return made;
    }
    static ReplyVerdict refused(std::string why) {
        ReplyVerdict made;
        made.kind = Kind::error;
        made.message = std::move(why);
        return made;
    }
    bool is(VerdictKind verdict) const noexcept { return kind == Kind::gate && gate == verdict; }
};

// The verdict text of the line ("release", ..., "approved", "ok", "error"): what the
// audit log, the metrics and the observers are told.
std::string_view verdict_text(const ReplyVerdict& verdict) noexcept;

// A reply line, line feed included, and its verdict.
struct Reply {
    std::string line;
    ReplyVerdict verdict;
};

// An error reply: {"message":WHY,"verdict":"error"} and its verdict.
Reply refusal(std::string why);

}  // namespace latchwork::server
