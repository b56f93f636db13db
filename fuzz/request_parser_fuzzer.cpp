// request_parser_fuzzer.cpp: any request line is taken or refused with a fixed message,
// and the server's reply to it is always one line a client reads.
#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/reply.h"
#include "client/request_encoder.h"
#include "wire/utf8.h"
#include "fuzz_check.h"
#include "server/core/request.h"
#include "server/store/batch_store.h"
#include "server/store/memory_backend.h"
#include "server/store/request_handler.h"

namespace {

using namespace latchwork;
using namespace latchwork::server;

constexpr std::string_view kMessagePrefixes[] = {
    "request is not valid UTF-8", "request is not valid JSON: ", "request is not a JSON object",
    "missing member: ", "member ", "unknown op: "};

bool fixed_form(std::string_view message) {
    for (const std::string_view prefix : kMessagePrefixes) {
        if (message.starts_with(prefix)) return true;
    }
    return false;
}

// The same request written the way a client writes it.
std::string reencode(const Request& request) {
    switch (request.op) {
        case Operation::submit:
            return encode_submit(request.run_id, request.effect_key, request.flag);
        case Operation::decide:
            return encode_decide(request.run_id, request.effect_key, request.flag, request.mac);
        case Operation::cancel: return encode_cancel(request.run_id);
        default: return {};
    }
}

// A ledger shared by successive inputs, so decisions meet earlier state; renewed now
// and then so that it stays small.
struct Server {
    boost::asio::io_context io;  // unused: the memory store writes as it takes
    BatchStore store{std::make_unique<MemoryBackend>(), io};
    RequestHandler handler{store, nullptr};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::unique_ptr<Server> server;
    static unsigned inputs = 0;
    if (!server || ++inputs % 4096 == 0) server = std::make_unique<Server>();

    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const Result<Request> parsed = parse_request(line);
    if (parsed) {
        const Request& request = parsed.value();
        FUZZ_CHECK(is_valid_utf8(request.run_id) && is_valid_utf8(request.effect_key));
        const std::string again = reencode(request);
        if (!again.empty()) {
            const Result<Request> reparsed = parse_request(again);
            FUZZ_CHECK(reparsed.ok());
            FUZZ_CHECK(reparsed.value().op == request.op);
            FUZZ_CHECK(reparsed.value().run_id == request.run_id);
            FUZZ_CHECK(reparsed.value().effect_key == request.effect_key);
            FUZZ_CHECK(reparsed.value().flag == request.flag);
            FUZZ_CHECK(reparsed.value().mac == request.mac);
        }
    } else {
        FUZZ_CHECK(fixed_form(parsed.error()));
        FUZZ_CHECK(is_valid_utf8(parsed.error()));
    }

    // Whatever came in, one reply line goes out, and a client reads it without fault.
    const Answer answer = server->handler.handle(line);
    FUZZ_CHECK(!answer.line().empty() && answer.line().find('\n') == answer.line().size() - 1);
    const Result<std::string> read = interpret_reply(answer.line());
    if (parsed) {
        FUZZ_CHECK(read.ok());
    } else {
        FUZZ_CHECK(!read.ok() && read.error() == "gate error: " + parsed.error());
    }
    return 0;
}
