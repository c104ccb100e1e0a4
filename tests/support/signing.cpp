#include "quorvel_test/signing.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "quorvel_test/pe_builder.h"

namespace quorvel_test {

TestKey KeyFromSeed(const Seed& seed) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    TestKey key;
    key.seed = seed;
    crypto_sign_seed_keypair(key.public_key.data(), key.secret_key.data(), seed.data());
    return key;
}

TestKey KeyFromSeedHex(std::string_view hex64) {
    const Bytes bytes = FromHex(hex64);
    if (bytes.size() != 32) throw std::invalid_argument("a seed is 64 hex digits");
    Seed seed{};
    std::copy(bytes.begin(), bytes.end(), seed.begin());
    return KeyFromSeed(seed);
}

Signature SignDigest(const TestKey& key, const Digest& digest) {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr, digest.data(), digest.size(),
                         key.secret_key.data());
    return signature;
}

// libsodium's one-shot function: not the library's streaming SHA-256 code.
Digest Sha256(const unsigned char* bytes, size_t length) {
    Digest digest{};
    crypto_hash_sha256(digest.data(), bytes, length);
    return digest;
}

std::string Base64Url(const unsigned char* bytes, size_t length) {
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_URLSAFE_NO_PADDING),
                     '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, length,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    text.pop_back();  // the terminating NUL
    return text;
}

KeyId JwkThumbprint(const PublicKey& public_key) {
    const std::string text = "{\"crv\":\"Ed25519\",\"kty\":\"OKP\",\"x\":\"" +
                             Base64Url(public_key.data(), public_key.size()) + "\"}";
    return Sha256(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

Digest ReferenceImageDigest(const Bytes& image) {
    const PeLayout layout = ReadLayout(image);
    // Left out: CheckSum, the security directory entry, and the table as the entry states it.
    std::array<std::pair<uint64_t, uint64_t>, 3> excluded = {
        {{layout.checksum, 4}, {layout.directory, 8}, {layout.table_offset, layout.table_size}}};
    std::sort(excluded.begin(), excluded.end());
    Bytes hashed;
    uint64_t next = 0;
    for (const auto& [begin, count] : excluded) {
        if (count == 0) continue;
        if (begin < next || begin + count > image.size()) {
            throw std::runtime_error("excluded ranges overlap or run past the end of the image");
        }
        hashed.insert(hashed.end(), image.begin() + static_cast<std::ptrdiff_t>(next),
                      image.begin() + static_cast<std::ptrdiff_t>(begin));
        next = begin + count;
    }
    hashed.insert(hashed.end(), image.begin() + static_cast<std::ptrdiff_t>(next), image.end());
    return Sha256(hashed.data(), hashed.size());
}

}  // namespace quorvel_test
