#include "quorvel_test/signed_pe.h"

#include <stdexcept>

#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
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

Bytes SignPe(const Bytes& unsigned_image, const TestKey& key, std::string_view domain,
             Container container) {
    // The digest leaves out the table, so the image's digest is also the signed file's.
    const Digest digest = ReferenceImageDigest(unsigned_image);
    const Bytes payload = MakeSignedPayload(key, digest, domain);
    Bytes table;
    if (container == Container::kQuorvelEntry) {
        table = MakeQuorvelEntry(payload);
    } else {
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
        table = MakeAuthenticodeEntry(MakeSignedData(
            {SignerSpec{{AttributeSpec{kQuorvelPayloadOid, {DerOctetString(payload)}}}}}));
#else
        throw std::runtime_error("Authenticode messages can only be made in a native build");
#endif
    }
    return AppendCertificateTable(unsigned_image, table);
}

}  // namespace quorvel_test
