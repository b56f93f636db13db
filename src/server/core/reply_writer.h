// reply_writer.h: the reply lines the server sends, compact JSON with sorted members.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "server/core/kept_release.h"

namespace latchwork::server {

// Every line ends with a line feed; members stand in ascending byte order of their names.
std::string verdict_reply(std::string_view kind);  // {"verdict":KIND}
std::string flag_reply(bool value);                 // {"value":true|false,"verdict":"ok"}
std::string count_reply(std::uint64_t value);       // {"value":N,"verdict":"ok"}
std::string error_reply(std::string_view message);  // {"message":TEXT,"verdict":"error"}
std::string hello_reply(std::string_view client);   // {"client":NAME,"verdict":"ok"}
// A person's decision on an effect that was no longer held: its state now.
std::string already_decided_reply(std::string_view state);  // {"state":STATE,"verdict":"already_decided"}
// A person's approval short of its rule's quorum: who approved so far, and how many must.
// {"approvals":[NAME,...],"quorum":N,"verdict":"approval_recorded"}
std::string approval_recorded_reply(std::span<const std::string> approvals, std::uint32_t quorum);
// The release of an effect a person approved with a changed detail: that detail
// (compact canonical JSON). {"detail":DETAIL,"verdict":"release"}
std::string release_with_detail_reply(std::string_view detail);

// A submit of a released effect by the attempt that took the release: release again.
// {"again":true,"verdict":"release"}, with the changed detail an approval handed over
// ({"again":true,"detail":DETAIL,...}) when there was one.
std::string again_reply(std::string_view detail);
// A submit carrying an attempt, of an effect another attempt (or a decider) took: when
// it was released, by whose decision, and once completed what performing it produced
// (`result` is JSON, written as it is).
// {"completed_at":MS,"decided_by":WHO,"released_at":MS,"result":JSON,"verdict":"refused_duplicate"}
std::string released_duplicate_reply(const KeptRelease& kept);
// A hold told to a submit carrying an attempt, with the console's page of the effect.
std::string held_with_link_reply(std::string_view link);  // {"link":URL,"verdict":"held_for_approval"}

// The answer of a submit that waited for its effect to be decided: the verdict, and
// for a rejection who decided it (empty: not known), why, and whether it expired.
struct WaitedOutcome {
    std::string_view kind;
    std::string_view decided_by;
    std::string_view reason;
    bool rejection = false;  // decided_by and reason are sent
    bool expired = false;
};
// {"decided_by":WHO,"expired":true,"reason":WHY,"verdict":KIND}, members as they apply
std::string waited_reply(const WaitedOutcome& outcome);

}  // namespace latchwork::server
