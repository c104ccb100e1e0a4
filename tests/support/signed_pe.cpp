#include "quorvel_test/signed_pe.h"

#include <stdexcept>
#include <string>

#include "quorvel/quorvel_sign.h"
#include "quorvel_test/pe_builder.h"
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
#include "quorvel_test/authenticode_builder.h"
#endif

namespace quorvel_test {

Bytes MakeUnsignedPe(const SignedPeOptions& options) {
    const uint64_t size = options.approximate_size;
    const uint64_t body = size > 0x1000 ? size - 0x400 : 0x800;  // after the headers
    if (body > UINT32_MAX) throw std::invalid_argument("image too large");
    const auto text = static_cast<uint32_t>(body / 4 * 3);
    return PeBuilder(options.pe32plus)
        .AddSection(".text", text, 0x11)
        .AddSection(".data", static_cast<uint32_t>(body) - text, 0x22)
        .Build()
        .bytes;
}

namespace {

// A test Authenticode signature appended, as Authenticode signers write it: the message padded
// with zeros to a multiple of 8 inside dwLength.
Bytes WithTestAuthenticode(const Bytes& unsigned_image) {
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
    Bytes message = MakeSignedData({{}});
    message.resize((message.size() + 8 + 7) / 8 * 8 - 8, 0);
    return AppendCertificateTable(unsigned_image, MakeAuthenticodeEntry(message));
#else
    (void)unsigned_image;
    throw std::runtime_error("Authenticode messages can only be made in a native build");
#endif
}

}  // namespace

// A domain the signer refuses (the verifier's own checks must see it) goes into an entry
// made here; an Authenticode container first gets a test Authenticode signature.
Bytes SignPe(const Bytes& unsigned_image, const TestKey& key, std::string_view domain,
             Container container) {
    if (container == Container::kQuorvelEntry &&
        quorvel_sign_check_domain(domain.data(), domain.size()) != QUORVEL_SIGN_OK) {
        const Bytes payload = MakeSignedPayload(key, ReferenceImageDigest(unsigned_image), domain);
        return AppendCertificateTable(unsigned_image, MakeQuorvelEntry(payload));
    }
    const Bytes image = container == Container::kAuthenticode ? WithTestAuthenticode(unsigned_image)
                                                              : unsigned_image;
    const int where = container == Container::kAuthenticode ? QUORVEL_SIGN_CONTAINER_AUTHENTICODE
                                                            : QUORVEL_SIGN_CONTAINER_ENTRY;
    Bytes out(image.size() + QUORVEL_SIGN_MAX_GROWTH);
    size_t size = 0;
    quorvel_seed_signer signer;
    quorvel_sign_seed_signer_init(&signer, key.seed.data());
    const int status = quorvel_sign_image(image.data(), image.size(), &signer.signer, domain.data(),
                                          domain.size(), where, out.data(), out.size(), &size);
    quorvel_sign_seed_signer_wipe(&signer);
    if (status != QUORVEL_SIGN_OK)
        throw std::runtime_error("quorvel_sign_image: " + std::to_string(status));
    out.resize(size);
    return out;
}

}  // namespace quorvel_test
