// sha256_split_fuzzer.cpp: any split of the input into updates gives the one-shot digest.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.h"
#include "hmac/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte seeds the piece lengths; the rest is the message.
    std::uint32_t state = data[0] * 2654435761u + 1;
    const std::span<const std::uint8_t> message(data + 1, size - 1);

    latchwork::Sha256 whole;
    whole.update(message);

    latchwork::Sha256 pieces;
    std::size_t offset = 0;
    while (offset < message.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t length = (state >> 16) % 150;  // zero-length pieces included
        const std::size_t take = length < message.size() - offset ? length : message.size() - offset;
        pieces.update(message.subspan(offset, take));
        offset += take;
    }
    FUZZ_CHECK(latchwork::finalize(whole) == latchwork::finalize(pieces));
    return 0;
}
