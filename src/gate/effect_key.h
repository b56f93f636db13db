// effect_key.h: a compact owned string for ledger keys, with one byte for its owner.
//
// A ledger holds millions of short keys. This one is 16 bytes: up to 14 bytes of
// text live inline (no allocation at all), longer text on the heap. One more byte,
// the tag, belongs to the container that holds the key (an effect's state); it is
// not part of the key's value, so it may change while the key sits in a hash set.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

namespace latchwork {

// A lookup text packed the way an inline key stores it, so that comparing it with a
// stored key is two word compares in the common case.
class KeyProbe {
public:
    inline explicit KeyProbe(std::string_view text) noexcept;
    std::string_view text() const noexcept { return text_; }

private:
    friend class EffectKey;
    std::string_view text_;
    std::uint64_t words_[2] = {0, 0};  // meaningful only when text fits inline
};

class EffectKey {
public:
    static constexpr std::size_t kInlineCapacity = 14;

    EffectKey(std::string_view text, std::uint8_t tag);
    EffectKey(EffectKey&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.bytes_[kMarker] = 0;  // the heap text, if any, now belongs here
    }
    EffectKey& operator=(EffectKey&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
            other.bytes_[kMarker] = 0;
        }
        return *this;
    }
    EffectKey(const EffectKey&) = delete;
    EffectKey& operator=(const EffectKey&) = delete;
    ~EffectKey() { release(); }

    inline std::string_view view() const noexcept;
    inline bool operator==(const KeyProbe& probe) const noexcept;
    bool operator==(const EffectKey& other) const noexcept { return view() == other.view(); }

    std::uint8_t tag() const noexcept { return bytes_[kTag]; }
    void set_tag(std::uint8_t tag) const noexcept { bytes_[kTag] = tag; }

private:
    // Inline: bytes 0..13 text, 14 tag, 15 length (0..14).
    // Heap:   bytes 0..7 pointer, 8..13 length (48 bits), 14 tag, 15 kHeapMarker.
    static constexpr std::size_t kTag = 14;
    static constexpr std::size_t kMarker = 15;
    static constexpr unsigned char kHeapMarker = 0xff;

    bool on_heap() const noexcept { return bytes_[kMarker] == kHeapMarker; }
    const char* heap_text() const noexcept {
        const char* text;
        std::memcpy(&text, bytes_, sizeof text);
        return text;
    }
    std::size_t heap_size() const noexcept {
        std::uint64_t size = 0;
        std::memcpy(&size, bytes_ + 8, 6);  // little-endian: the low 48 bits
        return static_cast<std::size_t>(size);
    }
    void release() noexcept {
        if (on_heap()) delete[] heap_text();
        bytes_[kMarker] = 0;
    }

    // Byte 14 of an inline key is the tag; it takes no part in comparisons.
    static constexpr std::uint64_t kSecondWordValueMask = ~(std::uint64_t{0xff} << 48);

    alignas(8) mutable unsigned char bytes_[16];
};

// The packed layout reads the length and the tag at fixed bit positions.
static_assert(std::endian::native == std::endian::little);

KeyProbe::KeyProbe(std::string_view text) noexcept : text_(text) {
    if (text.size() <= EffectKey::kInlineCapacity) {
        unsigned char bytes[16] = {};
        if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
        bytes[15] = static_cast<unsigned char>(text.size());
        std::memcpy(words_, bytes, sizeof bytes);
    }
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
    return words[0] == probe.words_[0] && (words[1] & kSecondWordValueMask) == probe.words_[1];
}

// Hashing and equality over EffectKey and plain text alike, for heterogeneous lookup.
struct EffectKeyHash {
    using is_transparent = void;
    using is_avalanching = void;  // the byte hash already mixes well; no extra mixing step
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
    std::size_t operator()(const EffectKey& key) const noexcept { return (*this)(key.view()); }
};

struct EffectKeyEqual {
    using is_transparent = void;
    bool operator()(const EffectKey& a, const EffectKey& b) const noexcept { return a == b; }
    bool operator()(std::string_view a, const EffectKey& b) const noexcept { return a == b.view(); }
    bool operator()(const EffectKey& a, std::string_view b) const noexcept { return a.view() == b; }
};

}  // namespace latchwork
