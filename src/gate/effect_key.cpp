// effect_key.cpp: building compact ledger keys.
#include "gate/effect_key.h"

#include <new>

namespace latchwork {
namespace {

constexpr std::uint64_t kMaxHeapSize = (std::uint64_t{1} << 48) - 1;

}  // namespace

EffectKey::EffectKey(std::string_view text, std::uint8_t tag) {
    std::memset(bytes_, 0, sizeof bytes_);
    if (text.size() <= kInlineCapacity) {
        if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
        bytes_[kMarker] = static_cast<unsigned char>(text.size());
    } else {
        if (text.size() > kMaxHeapSize) throw std::bad_alloc();
        char* copy = new char[text.size()];
        std::memcpy(copy, text.data(), text.size());
        const std::uint64_t size = text.size();
        std::memcpy(bytes_, &copy, sizeof copy);
        std::memcpy(bytes_ + 8, &size, 6);  // little-endian: the low 48 bits
        bytes_[kMarker] = kHeapMarker;
    }
    bytes_[kTag] = tag;
}

}  // namespace latchwork
