// reply.cpp: a reply line with the verdict it says as a value, so no one reads the verdict back from the text.
#include "server/core/reply.h"

#include "server/core/reply_writer.h"

namespace latchwork::server {

std::string_view verdict_text(const ReplyVerdict& verdict) noexcept {
    switch (verdict.kind) {
        case ReplyVerdict::Kind::gate: return verdict_kind_text(verdict.gate);
        case ReplyVerdict::Kind::approved: return "approved";
        case ReplyVerdict::Kind::approval_recorded: return "approval_recorded";
        case ReplyVerdict::Kind::already_decided: return "already_decided";
        case ReplyVerdict::Kind::completed: return "completed";
        case ReplyVerdict::Kind::ok: return "ok";
        case ReplyVerdict::Kind::pong: return "pong";
        case ReplyVerdict::Kind::error: return "error";
    }
    return {};
}

Reply refusal(std::string why) {
    std::string line = error_reply(why);
    return Reply{std::move(line), ReplyVerdict::refused(std::move(why))};
}

}  // namespace latchwork::server
