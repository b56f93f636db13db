// effect_table.cpp: the small-array and hash-set forms of one run's effects.
#include "gate/effect_table.h"

#include <iterator>
#include <utility>

namespace latchwork {

const EffectKey* EffectTable::find(std::string_view key) const {
    if (large_) {
        auto found = large_->find(key);
        return found == large_->end() ? nullptr : &*found;
    }
    const KeyProbe probe(key);
    for (const EffectKey& stored : small_) {
        if (stored == probe) return &stored;
    }
    return nullptr;
}

void EffectTable::insert(std::string_view key, std::uint8_t tag) {
    if (large_) {
        large_->emplace(key, tag);
        return;
    }
    if (small_.size() < kSmallCapacity) {
        // 4, 8, 16: few reallocations for a typical run, and never past the limit.
        if (small_.size() == small_.capacity()) small_.reserve(small_.empty() ? 4 : 2 * small_.size());
        small_.emplace_back(key, tag);
        return;
    }
    // Everything that can throw comes before the first key moves, so a failure
    // leaves the array as it was.
    EffectKey added(key, tag);
    auto large = std::make_unique<LargeSet>();
    large->reserve(small_.size() + 1);
    for (EffectKey& stored : small_) large->insert(std::move(stored));
    large->insert(std::move(added));
    large_ = std::move(large);
    std::vector<EffectKey>().swap(small_);
}

void EffectTable::clear() noexcept {
    large_.reset();
    std::vector<EffectKey>().swap(small_);
}

}  // namespace latchwork
