// effect_key.cpp: packing, comparing and freeing compact ledger keys.
#include "gate/effect_key.h"

#include <bit>
#include <new>

#include "support/internal_fault.h"

namespace latchwork {
namespace {

// The packed layout reads the length and the tag at fixed bit positions.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint64_t kMaxHeapSize = (std::uint64_t{1} << 48) - 1;

// Byte 14 of an inline key is the tag; it takes no part in comparisons.
constexpr std::uint64_t kSecondWordValueMask = ~(std::uint64_t{0xff} << 48);

}  // namespace

KeyProbe::KeyProbe(std::string_view text) noexcept : text_(text) {
    if (text.size() <= EffectKey::kInlineCapacity) {
        unsigned char bytes[16] = {};
        if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
        bytes[15] = static_cast<unsigned char>(text.size());
        std::memcpy(words_, bytes, sizeof bytes);
    }
}

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

const char* EffectKey::heap_text() const noexcept {
    const char* text;
    std::memcpy(&text, bytes_, sizeof text);
    return text;
}

std::size_t EffectKey::heap_size() const noexcept {
    std::uint64_t size = 0;
    std::memcpy(&size, bytes_ + 8, 6);
    return static_cast<std::size_t>(size);
}

std::string_view EffectKey::view() const noexcept {
    if (on_heap()) return {heap_text(), heap_size()};
    return {reinterpret_cast<const char*>(bytes_), bytes_[kMarker]};
}

bool EffectKey::operator==(const KeyProbe& probe) const noexcept {
    if (on_heap()) return probe.text_.size() > kInlineCapacity && view() == probe.text_;
    if (probe.text_.size() > kInlineCapacity) return false;
    std::uint64_t words[2];
    std::memcpy(words, bytes_, sizeof words);
    return words[0] == probe.words_[0] &&
           (words[1] & kSecondWordValueMask) == probe.words_[1];
}

void EffectKey::release() noexcept {
    if (on_heap()) delete[] heap_text();
    bytes_[kMarker] = 0;
}

}  // namespace latchwork
