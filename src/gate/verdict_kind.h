// verdict_kind.h: the five answers the in-process gate gives, and their texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace latchwork {

enum class VerdictKind : std::uint8_t {
    release,
    held_for_approval,
    refused_cancelled,
    refused_duplicate,
    refused_rejected,
};

// The kind string a Verdict carries for each member; fixed for the life of the process.
constexpr std::string_view verdict_kind_text(VerdictKind kind) noexcept {
    switch (kind) {
        case VerdictKind::release: return "release";
        case VerdictKind::held_for_approval: return "held_for_approval";
        case VerdictKind::refused_cancelled: return "refused_cancelled";
        case VerdictKind::refused_duplicate: return "refused_duplicate";
        case VerdictKind::refused_rejected: return "refused_rejected";
    }
    return {};
}

}  // namespace latchwork
