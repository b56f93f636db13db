// reply_reader_fuzzer.cpp: any reply line gives an outcome, and every quoted line is well-formed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/quoted_line.h"
#include "client/reply.h"
#include "wire/unicode_tables.h"
#include "wire/utf8.h"
#include "fuzz_check.h"

namespace {

using namespace latchwork;

// The quoted form starts and ends with a quotation mark, is valid UTF-8, and holds
// no character that had to be escaped.
void check_quoted(std::string_view quoted) {
    FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
    FUZZ_CHECK(is_valid_utf8(quoted));
    for (std::size_t pos = 0; pos < quoted.size();) {
        const Utf8Char c = decode_utf8(quoted, pos);
        FUZZ_CHECK(c.valid && c.code >= 0x20 && c.code != 0x7f);
        FUZZ_CHECK(c.code == ' ' || !needs_quoted_escape(c.code));
        pos += c.length;
    }
}

void check_failure(std::string_view line, const std::string& message) {
    const std::string quoted = quoted_line(line);
    check_quoted(quoted);
    constexpr std::string_view kBad = "bad gate reply ";
    constexpr std::string_view kMissing = "gate reply missing verdict: ";
    constexpr std::string_view kGateError = "gate error: ";
    if (message.starts_with(kBad)) {
        FUZZ_CHECK(std::string_view(message).substr(kBad.size()).starts_with(quoted + ": "));
        FUZZ_CHECK(message.find(" at line 1 column ") != std::string::npos);
    } else if (message.starts_with(kMissing)) {
        FUZZ_CHECK(std::string_view(message).substr(kMissing.size()) == quoted);
    } else {
        FUZZ_CHECK(message.starts_with(kGateError));
        FUZZ_CHECK(is_valid_utf8(message));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    // A line ends at its first line feed, and the exchange refuses a line that is
    // not UTF-8 before it is interpreted.
    const std::size_t feed = line.find('\n');
    if (feed != std::string_view::npos && feed + 1 != line.size()) return 0;
    if (!is_valid_utf8(line)) return 0;
    const Result<std::string> outcome = interpret_reply(line);
    if (outcome) {
        FUZZ_CHECK(is_valid_utf8(outcome.value()));
        FUZZ_CHECK(outcome.value() != "error");
    } else {
        check_failure(line, outcome.error());
    }
    return 0;
}
