// libquorvel-sign on synthetic PE32 and PE32+ files: what it writes is what libquorvel's own
// verifier accepts, with the usual PE checksum, and the same bytes every time.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"

namespace {

using quorvel_test::Bytes;

struct MemoryStream {
    const Bytes* bytes;
    size_t position = 0;
};

size_t MemoryRead(void* buffer, size_t size, size_t count, void* handle) {
    auto* stream = static_cast<MemoryStream*>(handle);
    const size_t n = std::min(size * count, stream->bytes->size() - stream->position);
    std::memcpy(buffer, stream->bytes->data() + stream->position, n);
    stream->position += n;
    return n;
}
int MemorySeek(void* handle, int64_t, int origin) {
    auto* stream = static_cast<MemoryStream*>(handle);
    stream->position = origin == 2 ? stream->bytes->size() : 0;
    return 0;
}
int64_t MemoryTell(void* handle) {
    return static_cast<int64_t>(static_cast<MemoryStream*>(handle)->position);
}
const quorvel_io kMemoryIo = {MemoryRead, MemorySeek, MemoryTell, nullptr};

const unsigned char kSeed[QUORVEL_SIGN_SEED_BYTES] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

// The checksum as the image loader computes it: 16-bit words with the carry folded in at
// every step, the checksum field counted as zero, plus the file length.
uint32_t ReferenceChecksum(const Bytes& image, size_t checksumOffset) {
    uint32_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        uint32_t word = image[i];
        if (i + 1 < image.size()) {
            word |= static_cast<uint32_t>(image[i + 1]) << 8;
        }
        if (i >= checksumOffset && i < checksumOffset + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(image.size());
}

Bytes Sign(const Bytes& image, const std::string& domain, int container, int* status) {
    Bytes out(image.size() + QUORVEL_SIGN_MAX_GROWTH);
    size_t size = 0;
    *status = quorvel_sign_image(image.data(), image.size(), kSeed, domain.data(), domain.size(),
                                 container, out.data(), out.size(), &size);
    out.resize(size);
    return out;
}

Bytes Pe(bool pe32plus, bool authenticodeTable) {
    quorvel_test::PeBuilder builder(pe32plus);
    builder.AddSection(".text", 0x400, 0x11);
    if (authenticodeTable) {
        builder.SetCertificateTable(
            quorvel_test::MakeAuthenticodeEntry(quorvel_test::MakeSignedData({{}})));
    } else {
        builder.SetTrailing(Bytes{1, 2, 3});  // an odd length: the table needs padding
    }
    return builder.Build().bytes;
}

TEST(SignImage, OutputVerifiesInBothContainersWithTheUsualChecksum) {
    ASSERT_GE(sodium_init(), 0);
    unsigned char publicKey[32];
    unsigned char keyId[32];
    ASSERT_EQ(quorvel_sign_public_key(kSeed, publicKey, keyId), QUORVEL_SIGN_OK);
    struct Row {
        const char* name;
        bool pe32plus, table;
        int container;
    };
    const Row rows[] = {
        {"PE32 new table", false, false, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32+ new table", true, false, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32 entry added", false, true, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32+ entry added", true, true, QUORVEL_SIGN_CONTAINER_ENTRY},
        {"PE32 Authenticode", false, true, QUORVEL_SIGN_CONTAINER_AUTHENTICODE},
        {"PE32+ Authenticode", true, true, QUORVEL_SIGN_CONTAINER_AUTHENTICODE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes image = Pe(row.pe32plus, row.table);
        int status = 0;
        const Bytes signedImage = Sign(image, "example.com:8443", row.container, &status);
        ASSERT_EQ(status, QUORVEL_SIGN_OK);
        MemoryStream stream{&signedImage};
        quorvel_verify_result result;
        EXPECT_EQ(quorvel_verify_file(&stream, &kMemoryIo, publicKey, &result), QUORVEL_OK);
        EXPECT_STREQ(result.domain, "example.com:8443");
        const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(signedImage);
        EXPECT_EQ(quorvel_test::GetLe32(signedImage, layout.checksum),
                  ReferenceChecksum(signedImage, layout.checksum));
        EXPECT_EQ(layout.table_offset + layout.table_size, signedImage.size());
        EXPECT_EQ(Sign(image, "example.com:8443", row.container, &status), signedImage)
            << "the same input signs to the same bytes";
    }
}

TEST(SignImage, RefusesWhatTheVerifierWouldNotAccept) {
    const Bytes plain = Pe(true, false);
    Bytes tableInMiddle = Pe(true, true);
    tableInMiddle.push_back(0);
    int status = 0;
    Sign(plain, "example.com", QUORVEL_SIGN_CONTAINER_AUTHENTICODE, &status);
    EXPECT_EQ(status, QUORVEL_SIGN_ERR_NO_AUTHENTICODE);
    Sign(tableInMiddle, "example.com", QUORVEL_SIGN_CONTAINER_ENTRY, &status);
    EXPECT_EQ(status, QUORVEL_SIGN_ERR_TABLE_NOT_LAST);
    for (int container : {QUORVEL_SIGN_CONTAINER_ENTRY, QUORVEL_SIGN_CONTAINER_AUTHENTICODE}) {
        const Bytes once = Sign(Pe(false, true), "example.com", container, &status);
        for (int again : {QUORVEL_SIGN_CONTAINER_ENTRY, QUORVEL_SIGN_CONTAINER_AUTHENTICODE}) {
            Sign(once, "example.com", again, &status);
            EXPECT_EQ(status, QUORVEL_SIGN_ERR_ALREADY_SIGNED) << container << " then " << again;
        }
    }
    Bytes noDirectory = plain;  // NumberOfRvaAndSizes 4: the security entry is not declared
    const quorvel_test::PeLayout layout = quorvel_test::ReadLayout(plain);
    quorvel_test::PutLe32(noDirectory, layout.optional_header + 108, 4);
    Sign(noDirectory, "example.com", QUORVEL_SIGN_CONTAINER_ENTRY, &status);
    EXPECT_EQ(status, QUORVEL_SIGN_ERR_NO_DIRECTORY_ENTRY);
}

TEST(SignImage, DomainFieldRules) {
    struct Row {
        std::string domain;
        int status;
    };
    const Row rows[] = {
        {std::string(255, 'a'), QUORVEL_SIGN_OK},
        {std::string(256, 'a'), QUORVEL_SIGN_ERR_DOMAIN_TOO_LONG},
        {"", QUORVEL_SIGN_ERR_DOMAIN_EMPTY},
        {"\xC3\xA9xample.com", QUORVEL_SIGN_OK},
        {"\xC0\x80xample.com", QUORVEL_SIGN_ERR_DOMAIN_NOT_UTF8},
        {std::string("a\0b", 3), QUORVEL_SIGN_ERR_DOMAIN_NOT_UTF8},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(quorvel_sign_check_domain(row.domain.data(), row.domain.size()), row.status)
            << row.domain.size() << " bytes: " << row.domain;
    }
}

TEST(SignImage, PrivateKeyPemRoundTrip) {
    char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
    ASSERT_EQ(quorvel_sign_private_key_to_pem(kSeed, pem), QUORVEL_SIGN_OK);
    unsigned char seed[QUORVEL_SIGN_SEED_BYTES] = {};
    ASSERT_EQ(quorvel_sign_private_key_from_pem(pem, sizeof pem, seed), QUORVEL_SIGN_OK);
    EXPECT_EQ(std::memcmp(seed, kSeed, sizeof seed), 0);
    std::string other(pem, sizeof pem);
    other[40] = other[40] == 'A' ? 'B' : 'A';  // inside the algorithm identifier
    EXPECT_EQ(quorvel_sign_private_key_from_pem(other.data(), other.size(), seed),
              QUORVEL_SIGN_ERR_KEY_FORMAT);
}

}  // namespace
