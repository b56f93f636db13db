// effect_table.h: one run's effects, each key with its state in the key's tag.
//
// Most runs hold a handful of effects. Those live in a plain array searched
// linearly, which costs less than hashing and carries no hash-table minimum size;
// a run that grows past kSmallCapacity moves to an open-addressing hash set.
#pragma once

#include <boost/unordered/unordered_flat_set.hpp>

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "gate/effect_key.h"

namespace latchwork {

class EffectTable {
public:
    static constexpr std::size_t kSmallCapacity = 16;

    // The stored key, whose tag is the effect's state, or null when absent. The
    // pointer stays valid until the next insertion or removal.
    const EffectKey* find(std::string_view key) const;

    // Adds a key that is not present yet.
    void insert(std::string_view key, std::uint8_t tag);

    // Removes every key whose tag satisfies `remove`; returns how many went.
    template <class Predicate>
    std::size_t erase_if(Predicate remove);

    // Calls `visit` with each stored key.
    template <class Visitor>
    void for_each(Visitor visit) const;

    // Drops every key and gives all memory back.
    void clear() noexcept;

    std::size_t size() const noexcept { return large_ ? large_->size() : small_.size(); }

private:
    using LargeSet = boost::unordered_flat_set<EffectKey, EffectKeyHash, EffectKeyEqual>;

    std::vector<EffectKey> small_;     // used while large_ is null
    std::unique_ptr<LargeSet> large_;  // once the run outgrew the array
};

template <class Predicate>
std::size_t EffectTable::erase_if(Predicate remove) {
    if (large_) {
        return boost::unordered::erase_if(*large_,
                                          [&](const EffectKey& key) { return remove(key.tag()); });
    }
    const std::size_t before = small_.size();
    std::erase_if(small_, [&](const EffectKey& key) { return remove(key.tag()); });
    return before - small_.size();
}

template <class Visitor>
void EffectTable::for_each(Visitor visit) const {
    if (large_) {
        for (const EffectKey& key : *large_) visit(key);
    } else {
        for (const EffectKey& key : small_) visit(key);
    }
}

}  // namespace latchwork
