// libquorvel-sign on synthetic PE32 and PE32+ files: both containers, with and without an
// existing table, the usual PE checksum, the same bytes through every kind of signer, and
// removal back to the input. (That the output verifies is the library's own self-check, and
// every signed file of the signature tests.)
#include <gtest/gtest.h>
#include <sodium.h>

#include <string>

#include "quorvel/quorvel_sign.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signing.h"

namespace {

using namespace quorvel_test;

const Seed kSeed = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const Seed kOtherSeed = {8};

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

// Signs image through signer; the needed size comes first from a call without room.
Bytes Sign(const Bytes& image, const quorvel_signer& signer, int options) {
    size_t needed = 0;
    EXPECT_EQ(quorvel_sign_image(image.data(), image.size(), &signer, "example.com", 11, options,
                                 nullptr, 0, &needed),
              QUORVEL_SIGN_ERR_BUFFER_TOO_SMALL);
    Bytes out(needed);
    size_t size = 0;
    EXPECT_EQ(quorvel_sign_image(image.data(), image.size(), &signer, "example.com", 11, options,
                                 out.data(), out.size(), &size),
              QUORVEL_SIGN_OK);
    EXPECT_EQ(size, needed);
    return out;
}

Bytes Remove(const Bytes& image) {
    Bytes out(image.size());
    size_t size = 0;
    EXPECT_EQ(quorvel_sign_remove(image.data(), image.size(), out.data(), out.size(), &size),
              QUORVEL_SIGN_OK);
    out.resize(size);
    return out;
}

// Every way to sign one input gives the same bytes, and removal gives the input back: with
// the CheckSum as it was where the entry could record it, else computed again.
TEST(SignImage, SignAttachReplaceAndRemove) {
    ASSERT_GE(sodium_init(), 0);
    // As Authenticode signers write them: zeros up to a multiple of 8 inside dwLength.
    const auto entry = [](Bytes message) {
        message.resize((message.size() + 15) / 8 * 8 - 8, 0);
        return MakeAuthenticodeEntry(message);
    };
    const Bytes authenticode = entry(MakeSignedData({{}}));
    struct Row {
        const char* name;
        bool pe32plus;
        Bytes table;                 // none: an odd length, so that a new table needs padding
        uint32_t checksumAboveSize;  // the input's CheckSum is its size plus this; 0: CheckSum 0
        bool checksumKept;
        int container;
        size_t entries;
    };
    const Row rows[] = {
        {"PE32 new table, CheckSum 0", false, {}, 0, true, QUORVEL_SIGN_CONTAINER_ENTRY, 1},
        {"PE32+ new table, CheckSum left from before",
         true,
         {},
         0xFFFF,
         true,
         QUORVEL_SIGN_CONTAINER_ENTRY,
         1},
        {"PE32 entry added, CheckSum beyond the record", false, authenticode, 0x10000, false,
         QUORVEL_SIGN_CONTAINER_ENTRY, 2},
        {"PE32+ Authenticode signer without attributes", true, authenticode, 1, false,
         QUORVEL_SIGN_CONTAINER_AUTHENTICODE, 1},
        {"PE32+ Authenticode with another attribute", true,
         entry(MakeSignedData({SignerSpec{{AttributeSpec{"1.2.3.4", {DerNull()}}}}})), 1, false,
         QUORVEL_SIGN_CONTAINER_AUTHENTICODE, 1},
    };
    quorvel_seed_signer key, other;
    quorvel_sign_seed_signer_init(&key, kSeed.data());
    quorvel_sign_seed_signer_init(&other, kOtherSeed.data());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PeBuilder builder(row.pe32plus);
        builder.AddSection(".text", 0x400, 0x11);
        Bytes image = (row.table.empty() ? builder.SetTrailing(Bytes{1, 2, 3})
                                         : builder.SetCertificateTable(row.table))
                          .Build()
                          .bytes;
        const PeLayout input = ReadLayout(image);
        PutLe32(image, input.checksum,
                row.checksumAboveSize == 0
                    ? 0
                    : static_cast<uint32_t>(image.size()) + row.checksumAboveSize);
        const Bytes signedImage = Sign(image, key.signer, row.container);
        const PeLayout layout = ReadLayout(signedImage);
        EXPECT_EQ(GetLe32(signedImage, layout.checksum),
                  ReferenceChecksum(signedImage, layout.checksum));
        EXPECT_EQ(layout.table_offset % 8, 0U);
        EXPECT_EQ(layout.table_offset + layout.table_size, signedImage.size());
        EXPECT_EQ(SplitCertificateTable(signedImage).size(), row.entries);

        Digest digest{};
        ASSERT_EQ(
            quorvel_sign_image_digest(image.data(), image.size(), row.container, digest.data()),
            QUORVEL_SIGN_OK);
        const Signature signature = SignDigest(KeyFromSeed(kSeed), digest);
        quorvel_attached_signer attached;
        quorvel_sign_attached_signer_init(&attached, key.signer.public_key, digest.data(),
                                          signature.data());
        EXPECT_EQ(Sign(image, attached.signer, row.container), signedImage)
            << "a signature made elsewhere gives the same bytes";
        Bytes expected = image;
        if (!row.checksumKept) {
            PutLe32(expected, input.checksum, ReferenceChecksum(image, input.checksum));
        }
        EXPECT_EQ(Remove(signedImage), expected);
        // Replacing signs the file as removal gives it back (a lost CheckSum stays lost).
        const Bytes replaced =
            Sign(signedImage, other.signer, row.container | QUORVEL_SIGN_REPLACE);
        EXPECT_EQ(replaced, Sign(expected, other.signer, row.container));
    }
    quorvel_sign_seed_signer_wipe(&key);
    quorvel_sign_seed_signer_wipe(&other);
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
        quorvel_sign_seed_signer_init(&counting.key, kSeed.data());
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
