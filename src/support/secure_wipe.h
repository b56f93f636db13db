// secure_wipe.h: overwrites secret bytes in a way the optimiser may not drop.
#pragma once

#include <cstddef>
#include <type_traits>

namespace latchwork {

// Stores through a volatile pointer count as observable, so a wipe of memory that is
// about to go out of scope survives dead-store elimination (explicit_bzero is not on
// every platform we build for).
inline void secure_wipe(void* data, std::size_t size) noexcept {
    auto* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

template <class T>
    requires std::is_trivially_copyable_v<T>
inline void secure_wipe(T& object) noexcept {
    secure_wipe(&object, sizeof object);
}

}  // namespace latchwork
