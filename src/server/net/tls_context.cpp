// tls_context.cpp: the line port's TLS settings, read once at start-up.
#include "server/net/tls_context.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstring>

#include "server/core/private_file.h"

namespace latchwork::server {
namespace ssl = boost::asio::ssl;

namespace {

// OpenSSL's first reason for the last failure (the later ones say where, not what),
// or the error code's text when it left none. A failed system call is told by its
// errno text: "system lib" alone names no cause.
std::string openssl_reason(const boost::system::error_code& error) {
    std::string reason;
    while (const unsigned long code = ERR_get_error()) {
        std::string text;
        if (ERR_SYSTEM_ERROR(code)) {
            text = std::strerror(static_cast<int>(ERR_GET_REASON(code)));
        } else if (const char* known = ERR_reason_error_string(code)) {
            text = known;
        }
        if (reason.empty()) reason = text;
    }
    if (reason.empty() && error) reason = error.message();
    return reason.empty() ? "unknown OpenSSL error" : reason;
}

Failure file_failure(std::string_view option, const std::string& path, const std::string& reason) {
    return Failure{std::string(option) + " " + path + ": " + reason};
}

}  // namespace

Result<std::unique_ptr<ssl::context>> make_tls_context(const TlsFiles& files) {
    ERR_clear_error();
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    boost::system::error_code error;
    // Old protocol versions and renegotiation stay off; ciphers are OpenSSL's defaults,
    // which track what is considered sound without a list of ours to keep up.
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                         error);
    SSL_CTX* native = context->native_handle();
    if (error || SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1) {
        return Failure{"cannot set up TLS: " + openssl_reason(error)};
    }
    SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION);

    // OpenSSL's own calls for the files: Asio's would clear the reason from the queue.
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(native, files.cert.c_str()) != 1) {
        return file_failure("--tls-cert", files.cert, openssl_reason({}));
    }

    // Read like every other secret file: refused unless only its owner may use it, and
    // wiped from memory once OpenSSL holds its own copy.
    Result<SecretBytes> key = read_private_file(files.key, "cannot open");
    if (!key) return file_failure("--tls-key", files.key, key.error());
    const std::span<const std::uint8_t> bytes = key.value().view();
    ERR_clear_error();
    // No pass phrase: OpenSSL's default would ask on the terminal and hang a service.
    pem_password_cb* no_pass_phrase = [](char*, int, int, void*) { return 0; };
    const std::unique_ptr<BIO, decltype(&BIO_free)> source(
        BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> private_key(
        source ? PEM_read_bio_PrivateKey(source.get(), nullptr, no_pass_phrase, nullptr) : nullptr,
        &EVP_PKEY_free);
    if (!private_key) {
        return file_failure("--tls-key", files.key,
                            "no unencrypted PEM private key (" + openssl_reason({}) + ")");
    }
    if (SSL_CTX_use_PrivateKey(native, private_key.get()) != 1 ||
        SSL_CTX_check_private_key(native) != 1) {
        return file_failure("--tls-key", files.key,
                            openssl_reason({}) + ": not the key of " + files.cert);
    }

    if (files.client_ca) {
        if (SSL_CTX_load_verify_locations(native, files.client_ca->c_str(), nullptr) != 1) {
            return file_failure("--tls-client-ca", *files.client_ca, openssl_reason({}));
        }
        // A connection without a certificate, or with one no listed CA signed, fails
        // its handshake: nothing it sends is read.
        context->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert, error);
        if (error) return Failure{"cannot set up TLS: " + openssl_reason(error)};
    }
    return context;
}

}  // namespace latchwork::server
