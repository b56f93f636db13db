// tls_context.h: the line port's TLS settings, read once at start-up.
#pragma once

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <optional>
#include <string>

#include "support/result.h"

namespace latchwork::server {

struct TlsFiles {
    std::string cert;                      // PEM certificate chain, the server's first
    std::string key;                       // PEM private key, an owner-only file
    std::optional<std::string> client_ca;  // PEM CAs; when set, clients must present a cert
};

// A server context: TLS 1.2 at least, the certificate and key checked against each
// other, and, with a client CA, a client certificate required and verified. The
// failure names the file and OpenSSL's reason, for a `latchwork-gate: ...` line.
Result<std::unique_ptr<boost::asio::ssl::context>> make_tls_context(const TlsFiles& files);

}  // namespace latchwork::server
