// The two entry operations end to end on signed test files: every outcome and every field of
// both records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "memory_stream.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"

namespace quorvel_test {
namespace {

const TestKey& SignerKey() {
    static const TestKey key = KeyFromSeedByte(0x21);
    return key;
}

const TestKey& OtherKey() {
    static const TestKey key = KeyFromSeedByte(0x22);
    return key;
}

template <typename Record>
bool AllZero(const Record& record) {
    Record zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&record, &zero, sizeof record) == 0;
}

bool DomainFieldIs(const char (&field)[QUORVEL_DOMAIN_BYTES], const std::string& domain) {
    if (domain.size() >= QUORVEL_DOMAIN_BYTES ||
        std::memcmp(field, domain.data(), domain.size()) != 0) {
        return false;
    }
    for (size_t i = domain.size(); i < QUORVEL_DOMAIN_BYTES; ++i) {
        if (field[i] != 0) return false;
    }
    return true;
}

// A file whose payload is signed by signer but names key_id_of's thumbprint.
Bytes SignedNaming(const TestKey& signer, const TestKey& key_id_of, const std::string& domain) {
    const Bytes image = MakeUnsignedPe({});
    const Digest digest = ReferenceImageDigest(image);
    const Bytes payload =
        MakePayload(SignDigest(signer, digest), JwkThumbprint(key_id_of.public_key), domain);
    return AppendCertificateTable(image, MakeQuorvelEntry(payload));
}

TEST(VerifyFile, ValidFilesInEveryContainerAndFormat) {
    struct Case {
        std::string name;
        SignedPeOptions options;
        Container container;
    };
    std::vector<Case> cases = {
        {"PE32+ with a Quorvel entry",
         {true, 0, Container::kQuorvelEntry},
         Container::kQuorvelEntry},
        {"PE32 with a Quorvel entry",
         {false, 0, Container::kQuorvelEntry},
         Container::kQuorvelEntry},
        {"larger PE32+", {true, 200000, Container::kQuorvelEntry}, Container::kQuorvelEntry},
    };
#if defined(QUORVEL_TEST_HAVE_AUTHENTICODE_BUILDER)
    cases.push_back({"PE32+ with an Authenticode entry",
                     {true, 0, Container::kAuthenticode},
                     Container::kAuthenticode});
    cases.push_back({"PE32 with an Authenticode entry",
                     {false, 0, Container::kAuthenticode},
                     Container::kAuthenticode});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file =
            SignPe(MakeUnsignedPe(c.options), SignerKey(), "verify.example", c.container);
        const KeyId key_id = JwkThumbprint(SignerKey().public_key);

        quorvel_verify_result result;
        std::memset(&result, 0x77, sizeof result);
        ASSERT_EQ(VerifyBytes(file, SignerKey().public_key, &result), QUORVEL_OK);
        EXPECT_EQ(result.has_signature, 1U);
        EXPECT_EQ(result.verified, 1U);
        EXPECT_EQ(result.key_id_matched, 1U);
        EXPECT_EQ(result.domain_length, 14U);
        EXPECT_EQ(0, std::memcmp(result.key_id, key_id.data(), 32));
        EXPECT_TRUE(DomainFieldIs(result.domain, "verify.example"));

        quorvel_signature_info info;
        std::memset(&info, 0x77, sizeof info);
        ASSERT_EQ(ReadInfo(file, &info), QUORVEL_OK);
        EXPECT_EQ(info.has_signature, 1U);
        EXPECT_EQ(info.payload_valid, 1U);
        EXPECT_EQ(info.domain_length, 14U);
        EXPECT_EQ(0, std::memcmp(info.key_id, key_id.data(), 32));
        EXPECT_TRUE(DomainFieldIs(info.domain, "verify.example"));
        const Digest digest = ReferenceImageDigest(file);
        const Signature expected_signature = SignDigest(SignerKey(), digest);
        EXPECT_EQ(0, std::memcmp(info.signature, expected_signature.data(), 64));
    }
}

TEST(VerifyFile, SignatureFromAnotherKeyIsSignatureInvalid) {
    const Bytes file =
        SignPe(MakeUnsignedPe({}), SignerKey(), "other.example", Container::kQuorvelEntry);
    quorvel_verify_result result;
    std::memset(&result, 0x77, sizeof result);
    EXPECT_EQ(VerifyBytes(file, OtherKey().public_key, &result), QUORVEL_ERR_SIGNATURE_INVALID);
    EXPECT_EQ(result.has_signature, 1U);
    EXPECT_EQ(result.verified, 0U);
    EXPECT_EQ(result.key_id_matched, 0U);
    EXPECT_EQ(result.domain_length, 0U);
    EXPECT_EQ(0, std::memcmp(result.key_id, JwkThumbprint(SignerKey().public_key).data(), 32));
    EXPECT_TRUE(DomainFieldIs(result.domain, ""));
}

TEST(VerifyFile, SignatureIsCheckedBeforeTheKeyId) {
    // Signed by the signer, naming the other key.
    const Bytes file = SignedNaming(SignerKey(), OtherKey(), "order.example");
    quorvel_verify_result result;
    std::memset(&result, 0x77, sizeof result);
    EXPECT_EQ(VerifyBytes(file, SignerKey().public_key, &result), QUORVEL_ERR_KEY_MISMATCH);
    EXPECT_EQ(result.has_signature, 1U);
    EXPECT_EQ(result.verified, 0U);
    EXPECT_EQ(result.key_id_matched, 0U);
    EXPECT_EQ(result.domain_length, 0U);
    EXPECT_EQ(0, std::memcmp(result.key_id, JwkThumbprint(OtherKey().public_key).data(), 32));
    EXPECT_TRUE(DomainFieldIs(result.domain, ""));

    // The key that the payload names does not verify the signature: that comes first.
    std::memset(&result, 0x77, sizeof result);
    EXPECT_EQ(VerifyBytes(file, OtherKey().public_key, &result), QUORVEL_ERR_SIGNATURE_INVALID);
    EXPECT_EQ(result.has_signature, 1U);
    EXPECT_EQ(0, std::memcmp(result.key_id, JwkThumbprint(OtherKey().public_key).data(), 32));
}

TEST(VerifyFile, FailuresBeforeTheSignatureLeaveTheRecordZero) {
    const Bytes unsigned_file = MakeUnsignedPe({});
    Bytes not_pe = unsigned_file;
    not_pe[0] = 0;
    const Bytes invalid = AppendCertificateTable(
        unsigned_file,
        MakeQuorvelEntry(MakePayload(PatternSignature(1), PatternKeyId(1), std::string(256, 'x'))));
    struct Case {
        std::string name;
        Bytes file;
        int expected;
    };
    const Case cases[] = {
        {"not PE", not_pe, QUORVEL_ERR_NOT_PE},
        {"no signature", unsigned_file, QUORVEL_ERR_NO_SIGNATURE},
        {"invalid payload", invalid, QUORVEL_ERR_INVALID_PAYLOAD},
        {"empty file", {}, QUORVEL_ERR_NOT_PE},
    };
    for (const Case& c : cases) {
        quorvel_verify_result result;
        std::memset(&result, 0x77, sizeof result);
        EXPECT_EQ(VerifyBytes(c.file, SignerKey().public_key, &result), c.expected) << c.name;
        EXPECT_TRUE(AllZero(result)) << c.name;
        quorvel_signature_info info;
        std::memset(&info, 0x77, sizeof info);
        EXPECT_EQ(ReadInfo(c.file, &info), c.expected) << c.name;
        EXPECT_TRUE(AllZero(info)) << c.name;
        EXPECT_EQ(ReadInfo(c.file, nullptr), c.expected) << c.name;
        EXPECT_EQ(VerifyBytes(c.file, SignerKey().public_key, nullptr), c.expected) << c.name;
    }
}

TEST(VerifyFile, DomainLengthLimits) {
    struct Case {
        std::string name;
        std::string domain;
    };
    const Case cases[] = {
        {"empty domain", ""},
        {"one byte", "a"},
        {"255 bytes", std::string(251, 'a') + ".org"},
        {"UTF-8 domain",
         "b\xC3\xBC"
         "cher.example"},
    };
    for (const Case& c : cases) {
        const Bytes file =
            SignPe(MakeUnsignedPe({}), SignerKey(), c.domain, Container::kQuorvelEntry);
        quorvel_signature_info info;
        ASSERT_EQ(ReadInfo(file, &info), QUORVEL_OK) << c.name;
        EXPECT_EQ(info.domain_length, c.domain.size()) << c.name;
        EXPECT_TRUE(DomainFieldIs(info.domain, c.domain)) << c.name;
        quorvel_verify_result result;
        ASSERT_EQ(VerifyBytes(file, SignerKey().public_key, &result), QUORVEL_OK) << c.name;
        EXPECT_EQ(result.domain_length, c.domain.size()) << c.name;
        EXPECT_TRUE(DomainFieldIs(result.domain, c.domain)) << c.name;
    }
}

}  // namespace
}  // namespace quorvel_test
