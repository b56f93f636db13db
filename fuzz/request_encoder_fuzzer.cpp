// request_encoder_fuzzer.cpp: every request line reads back to the strings it was built from.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/json_reader.h"
#include "client/request_encoder.h"
#include "wire/utf8.h"
#include "fuzz_check.h"

namespace {

using namespace latchwork;

// Renames one member so that the reply reader, which keeps "verdict" and "message",
// reads it back. A member name can only appear where it does here: inside a string
// every quotation mark is escaped.
std::string rename_member(std::string line, std::string_view from, std::string_view to) {
    const std::size_t at = line.find(from);
    FUZZ_CHECK(at != std::string::npos);
    line.replace(at, from.size(), to);
    return line;
}

void check_reads_back(const std::string& line, std::string_view effect_member,
                      std::string_view run_id, std::optional<std::string_view> effect_key) {
    for (const unsigned char byte : line) FUZZ_CHECK(byte >= 0x20);  // never a raw control
    std::string renamed = rename_member(line, ",\"run_id\":", ",\"verdict\":");
    if (effect_key) renamed = rename_member(renamed, effect_member, "{\"message\":");
    const Result<ReplyMembers> read = read_reply_json(renamed);
    FUZZ_CHECK(read.ok());
    FUZZ_CHECK(read.value().is_object);
    FUZZ_CHECK(read.value().verdict && *read.value().verdict == run_id);
    if (effect_key) FUZZ_CHECK(read.value().message && *read.value().message == *effect_key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    // The caller's strings are UTF-8 by construction (they come from Python str).
    if (!is_valid_utf8(rest)) return 0;
    const std::size_t split = rest.empty() ? 0 : data[1] % (rest.size() + 1);
    const std::string_view run_id = rest.substr(0, split);
    const std::string_view effect_key = rest.substr(split);
    const bool flag = (flags & 1) != 0;

    check_reads_back(encode_submit(run_id, effect_key, flag), "{\"effect_key\":", run_id,
                     effect_key);
    const std::string mac(64, 'a');
    check_reads_back(encode_decide(run_id, effect_key, flag,
                                   (flags & 2) ? std::optional<std::string_view>(mac) : std::nullopt),
                     ",\"effect_key\":", run_id, std::nullopt);
    check_reads_back(encode_cancel(run_id), "", run_id, std::nullopt);
    return 0;
}
