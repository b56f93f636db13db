// webhook_signature.cpp: the headers that let a receiver check a notification came from this gate.
#include "server/notify/webhook_signature.h"

#include <openssl/evp.h>

#include <array>
#include <string>

#include "hmac/hmac_sha256.h"
#include "support/secure_wipe.h"

namespace latchwork::server {

std::string base64_text(std::span<const std::uint8_t> bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::string webhook_signature(std::span<const std::uint8_t> key, std::string_view id,
                              std::int64_t timestamp_s, std::string_view body) {
    const std::string timestamp = std::to_string(timestamp_s);
    const std::array<std::span<const std::uint8_t>, 5> pieces{
        byte_span(id), byte_span("."), byte_span(timestamp), byte_span("."), byte_span(body)};
    const Sha256Digest mac = hmac_sha256_pieces(key, pieces);
    return "v1," + base64_text(mac);
}

Result<SecretBytes> webhook_key(const SecretBytes& file_bytes) {
    const std::span<const std::uint8_t> bytes = file_bytes.view();
    constexpr std::string_view kPrefix = "whsec_";
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    SecretBytes key;
    if (!text.starts_with(kPrefix)) {
        key.assign(bytes);
        return key;
    }
    std::string_view encoded = text.substr(kPrefix.size());
    while (!encoded.empty() && (encoded.back() == '\n' || encoded.back() == '\r')) encoded.remove_suffix(1);
    if (encoded.empty() || encoded.size() % 4 != 0) {
        return Failure{"a whsec_ secret is followed by base64 (a multiple of 4 characters)"};
    }
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                       reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    if (length < 0) {
        secure_wipe(decoded.data(), decoded.size());
        return Failure{"a whsec_ secret is followed by base64, which this is not"};
    }
    // EVP_DecodeBlock counts the padding's bytes as zeros: drop them.
    std::size_t size = static_cast<std::size_t>(length);
    if (encoded.ends_with("==")) size -= 2;
    else if (encoded.ends_with("=")) size -= 1;
    key.assign(byte_span(std::string_view(decoded).substr(0, size)));
    secure_wipe(decoded.data(), decoded.size());
    if (key.size() == 0) return Failure{"the whsec_ secret is empty"};
    return key;
}

}  // namespace latchwork::server
