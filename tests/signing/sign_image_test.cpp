// libquorvel-sign on synthetic PE32 and PE32+ files: both containers, with and without an
// existing table, the usual PE checksum, the same bytes every time. (That the output
// verifies is the library's own self-check, and every signed file of the signature tests.)
#include <gtest/gtest.h>
#include <sodium.h>

#include <string>

#include "quorvel/quorvel_sign.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"

namespace {

using namespace quorvel_test;

const unsigned char kSeed[QUORVEL_SIGN_SEED_BYTES] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

// The checksum as the image loader computes it: 16-bit words with the carry folded in at
// every step, the checksum field counted as zero, plus the file length.
uint32_t ReferenceChecksum(const Bytes& image, size_t checksumOffset) {
    uint32_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        const uint32_t high = i + 1 < image.size() ? static_cast<uint32_t>(image[i + 1]) << 8 : 0;
        sum += i - checksumOffset < 4 ? 0 : image[i] | high;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(image.size());
}

TEST(SignImage, BothContainersWithTheUsualChecksum) {
    ASSERT_GE(sodium_init(), 0);
    struct Row {
        const char* name;
        bool pe32plus, table;
        int container;
    };
    const Row rows[] = {
        {"PE32 new table", false, false, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32+ new table", true, false, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32 entry added", false, true, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32+ Authenticode", true, true, QUORVEL_SIGN_CONTAINER_AUTHENTICODE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PeBuilder builder(row.pe32plus);
        builder.AddSection(".text", 0x400, 0x11);
        // Without a table, an odd length: the new table needs padding.
        const Bytes image =
            (row.table ? builder.SetCertificateTable(MakeAuthenticodeEntry(MakeSignedData({{}})))
                       : builder.SetTrailing(Bytes{1, 2, 3}))
                .Build()
                .bytes;
        const auto sign = [&](size_t capacity, size_t* size) {
            Bytes out(capacity);
            quorvel_seed_signer signer;
            quorvel_sign_seed_signer_init(&signer, kSeed);
            EXPECT_EQ(quorvel_sign_image(image.data(), image.size(), &signer.signer, "example.com",
                                         11, row.container, out.data(), out.size(), size),
                      capacity == 0 ? QUORVEL_SIGN_ERR_BUFFER_TOO_SMALL : QUORVEL_SIGN_OK);
            out.resize(*size);
            return out;
        };
        size_t needed = 0;
        sign(0, &needed);
        size_t size = 0;
        const Bytes signedImage = sign(needed, &size);
        ASSERT_EQ(size, needed);
        const PeLayout layout = ReadLayout(signedImage);
        EXPECT_EQ(GetLe32(signedImage, layout.checksum),
                  ReferenceChecksum(signedImage, layout.checksum));
        EXPECT_EQ(layout.table_offset % 8, 0U);
        EXPECT_EQ(layout.table_offset + layout.table_size, signedImage.size());
        const size_t entries = SplitCertificateTable(signedImage).size();
        EXPECT_EQ(entries, row.container == QUORVEL_SIGN_CONTAINER_ENTRY && row.table ? 2U : 1U);
        EXPECT_EQ(sign(needed, &size), signedImage) << "the same input signs to the same bytes";
    }
}

TEST(SignImage, DomainFieldLimits) {
    struct Row {
        std::string domain;
        int status;
    };
    const Row rows[] = {
        {"a", QUORVEL_SIGN_OK},
        {"", QUORVEL_SIGN_ERR_DOMAIN_EMPTY},
        {std::string(255, 'a'), QUORVEL_SIGN_OK},
        {std::string(256, 'a'), QUORVEL_SIGN_ERR_DOMAIN_TOO_LONG},
        {"\xC0\x80xample.com", QUORVEL_SIGN_ERR_DOMAIN_NOT_UTF8},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(quorvel_sign_check_domain(row.domain.data(), row.domain.size()), row.status)
            << row.domain.size() << " bytes: " << row.domain;
    }
}

}  // namespace

// The seam's contract: a signer's own failure comes back unchanged, a signature that fails the
// signer's public key is refused, and a file that cannot be signed never reaches the signer.
TEST(SignImage, SignerFailuresAndRefusalsBeforeSigning) {
    ASSERT_GE(sodium_init(), 0);
    struct Counting {
        quorvel_seed_signer key;
        int status;
        int calls;
    };
    const auto sign = [](void* context, const unsigned char* message, unsigned char* signature) {
        auto* counting = static_cast<Counting*>(context);
        ++counting->calls;
        counting->key.signer.sign(&counting->key, message, signature);
        return counting->status;
    };
    const Bytes image = PeBuilder(true).AddSection(".text", 0x400, 0x11).Build().bytes;
    struct Row {
        const char* name;
        Bytes image;
        int status;     // what the callback returns
        bool otherKey;  // the signer claims another public key
        int expected;
        int calls;
    };
    const Row rows[] = {
        {"signer fails", image, -40, false, -40, 1},
        {"another public key", image, QUORVEL_SIGN_OK, true, QUORVEL_SIGN_ERR_SIGNER_MISMATCH, 1},
        {"not a PE file", FromText("not a PE file"), QUORVEL_SIGN_OK, false,
         QUORVEL_SIGN_ERR_NOT_PE, 0},
    };
    for (const Row& row : rows) {
        Counting counting{{}, row.status, 0};
        quorvel_sign_seed_signer_init(&counting.key, kSeed);
        quorvel_signer signer = {{}, sign, &counting};
        std::copy(std::begin(counting.key.signer.public_key),
                  std::end(counting.key.signer.public_key), signer.public_key);
        signer.public_key[0] ^= row.otherKey ? 1 : 0;
        Bytes out(row.image.size() + QUORVEL_SIGN_MAX_GROWTH);
        size_t size = 0;
        EXPECT_EQ(quorvel_sign_image(row.image.data(), row.image.size(), &signer, "a.example", 9,
                                     QUORVEL_SIGN_CONTAINER_ENTRY, out.data(), out.size(), &size),
                  row.expected)
            << row.name;
        EXPECT_EQ(counting.calls, row.calls) << row.name;
        quorvel_sign_seed_signer_wipe(&counting.key);
    }
}
