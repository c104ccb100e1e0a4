#include "quorvel_test/signed_pe.h"

#include <stdexcept>
#include <string>

#include "quorvel/quorvel_sign.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
#include "quorvel_test/authenticode_builder.h"
#endif

namespace quorvel_test {

Bytes MakeUnsignedPe(const SignedPeOptions& options) {
    PeBuilder builder(options.pe32plus);
    const uint64_t wanted = options.approximate_size;
    if (wanted <= 0x1000) {
        builder.AddSection(".text", 0x600, 0x11).AddSection(".data", 0x200, 0x22);
    } else {
        const uint64_t text = (wanted - 0x400) / 4 * 3;
        const uint64_t data = wanted - 0x400 - text;
        if (text > UINT32_MAX || data > UINT32_MAX) {
            throw std::invalid_argument("image too large");
        }
        builder.AddSection(".text", static_cast<uint32_t>(text), 0x11)
            .AddSection(".data", static_cast<uint32_t>(data), 0x22);
    }
    return builder.Build().bytes;
}

// Signed by the product's signer; an Authenticode container first gets a test Authenticode
// signature to carry the payload. A domain the signer refuses (the verifier's own checks
// must see it) goes into an entry made here.
Bytes SignPe(const Bytes& unsigned_image, const TestKey& key, std::string_view domain,
             Container container) {
    if (container == Container::kQuorvelEntry &&
        quorvel_sign_check_domain(domain.data(), domain.size()) != QUORVEL_SIGN_OK) {
        const Digest digest = ReferenceImageDigest(unsigned_image);
        return AppendCertificateTable(unsigned_image,
                                      MakeQuorvelEntry(MakeSignedPayload(key, digest, domain)));
    }
    Bytes image = unsigned_image;
    int where = QUORVEL_SIGN_CONTAINER_ENTRY;
    if (container == Container::kAuthenticode) {
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
        image = AppendCertificateTable(image, MakeAuthenticodeEntry(MakeSignedData({{}})));
        where = QUORVEL_SIGN_CONTAINER_AUTHENTICODE;
#else
        throw std::runtime_error("Authenticode messages can only be made in a native build");
#endif
    }
    Bytes out(image.size() + QUORVEL_SIGN_MAX_GROWTH);
    size_t size = 0;
    const int status =
        quorvel_sign_image(image.data(), image.size(), key.seed.data(), domain.data(),
                           domain.size(), where, out.data(), out.size(), &size);
    if (status != QUORVEL_SIGN_OK) {
        throw std::runtime_error("quorvel_sign_image: " + std::to_string(status));
    }
    out.resize(size);
    return out;
}

}  // namespace quorvel_test
