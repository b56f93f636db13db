// request_handler.h: one request line decided against the ledger, with the reply it earns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/run_ledger.h"
#include "server/store.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// A reply line and the store batch it must wait for before it may be written.
struct Answer {
    std::string line;
    std::uint64_t wait_for = 0;
};

// Runs on the network thread, the one owner of the ledger.
class RequestHandler {
public:
    // Without a secret, decisions are taken unauthenticated and "mac" is ignored.
    RequestHandler(RunLedger& ledger, Store& store, const SecretBytes* secret)
        : ledger_(ledger), store_(store), secret_(secret) {}

    // Parses, checks and decides one request line (without its line feed). A refused
    // request changes nothing and waits for nothing. Once the store has failed, every
    // request is refused with the store's failure message.
    Answer handle(std::string_view line);

private:
    RunLedger& ledger_;
    Store& store_;
    const SecretBytes* secret_;
    std::vector<StateChange> changes_;  // reused from request to request
};

}  // namespace latchwork::server
