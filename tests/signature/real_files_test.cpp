// PE files that nobody here wrote, from Debian packages unpacked by the fetch_debian_pe_samples
// fixture (tests/support/fetch-debian-pe-samples.sh).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "quorvel/quorvel.h"
#include "quorvel_internal.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {
namespace {

namespace fs = std::filesystem;

// The stream callbacks as the shell side fills them: buffered file streams.
size_t FileRead(void* buffer, size_t size, size_t count, void* handle) {
    return std::fread(buffer, size, count, static_cast<FILE*>(handle));
}
int FileSeek(void* handle, int64_t offset, int origin) {
    return fseeko(static_cast<FILE*>(handle), static_cast<off_t>(offset), origin);
}
int64_t FileTell(void* handle) { return ftello(static_cast<FILE*>(handle)); }
int FileClose(void* handle) { return std::fclose(static_cast<FILE*>(handle)); }
const quorvel_io kFileIo = {FileRead, FileSeek, FileTell, FileClose};

int ReadInfoFromFile(const std::string& path, quorvel_signature_info* info) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return 1;
    }
    return quorvel_read_signature_info(file, &kFileIo, info);
}

int VerifyFromFile(const std::string& path, const PublicKey& key, quorvel_verify_result* result) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return 1;
    }
    return quorvel_verify_file(file, &kFileIo, key.data(), result);
}

// Wine's DLLs and programs have no certificate table; the digest of a sample agrees with the
// reference.
TEST(RealFiles, WineFilesHaveNoSignature) {
    const fs::path dir =
        fs::path(QUORVEL_DEBIAN_SAMPLES_DIR) / "usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    ASSERT_TRUE(fs::is_directory(dir)) << dir << " is missing: the fetch fixture did not run";
    size_t checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        quorvel_signature_info info;
        ASSERT_EQ(ReadInfoFromFile(entry.path().string(), &info), QUORVEL_ERR_NO_SIGNATURE)
            << entry.path();
        if (checked++ % 40 == 0) {
            const Bytes image = ReadFile(entry.path().string());
            Digest digest{};
            ASSERT_EQ(quorvel_image_digest(image.data(), image.size(), digest.data()), QUORVEL_OK);
            ASSERT_EQ(digest, ReferenceImageDigest(image)) << entry.path();
        }
    }
    EXPECT_GE(checked, 100U) << "too few files found in " << dir;
}

// The Authenticode-signed EFI binaries: nothing as shipped; a payload added to signer 0 of
// their own signature is found and verifies, a NULL in its place is an invalid payload.
class SignedEfi : public ::testing::TestWithParam<const char*> {};

TEST_P(SignedEfi, PayloadAddedToItsOwnSignature) {
    const std::string path = std::string(QUORVEL_DEBIAN_SAMPLES_DIR) + "/" + GetParam();
    ASSERT_TRUE(fs::exists(path)) << path << " is missing: the fetch fixture did not run";
    const Bytes original = ReadFile(path);
    quorvel_signature_info info;
    EXPECT_EQ(ReadInfoFromFile(path, &info), QUORVEL_ERR_NO_SIGNATURE);
    const Digest digest = ReferenceImageDigest(original);
    const auto with_value = [&](const Bytes& value) {
        Bytes table;
        bool added = false;
        for (const CertificateEntry& entry : SplitCertificateTable(original)) {
            if (!added && entry.revision == 0x0200 && entry.type == 0x0002) {
                Append(table, MakeAuthenticodeEntry(AddAttributeToFirstSigner(
                                  entry.content, AttributeSpec{kQuorvelPayloadOid, {value}})));
                added = true;
            } else {
                const auto begin = original.begin() + static_cast<std::ptrdiff_t>(entry.offset);
                table.insert(table.end(), begin, begin + (entry.length + 7) / 8 * 8);
            }
        }
        EXPECT_TRUE(added) << "no Authenticode entry";
        return ReplaceCertificateTable(original, table);
    };
    const TestKey key = KeyFromSeedByte(0x31);
    const std::string out = ::testing::TempDir() + "quorvel-real.efi";
    WriteFile(out, with_value(DerOctetString(MakeSignedPayload(key, digest, "efi.example.net"))));
    quorvel_verify_result result;
    EXPECT_EQ(VerifyFromFile(out, key.public_key, &result), QUORVEL_OK);
    EXPECT_STREQ(result.domain, "efi.example.net");
    EXPECT_EQ(VerifyFromFile(out, KeyFromSeedByte(0x32).public_key, &result),
              QUORVEL_ERR_SIGNATURE_INVALID);
    Bytes tampered = ReadFile(out);
    tampered[0x400] ^= 0x01;
    WriteFile(out, tampered);
    EXPECT_EQ(VerifyFromFile(out, key.public_key, &result), QUORVEL_ERR_SIGNATURE_INVALID);
    WriteFile(out, with_value(DerNull()));
    EXPECT_EQ(ReadInfoFromFile(out, &info), QUORVEL_ERR_INVALID_PAYLOAD);
    std::remove(out.c_str());
}

INSTANTIATE_TEST_SUITE_P(Debian, SignedEfi,
                         ::testing::Values("usr/lib/shim/shimx64.efi.signed",
                                           "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed"));

// syslinux's PE32 EFI binary, signed with the library's own entry.
TEST(RealFiles, UnsignedPe32EfiBinarySignedWithAQuorvelEntry) {
    const std::string path =
        std::string(QUORVEL_DEBIAN_SAMPLES_DIR) + "/usr/lib/SYSLINUX.EFI/efi32/syslinux.efi";
    ASSERT_TRUE(fs::exists(path)) << path << " is missing: the fetch fixture did not run";
    Bytes image = ReadFile(path);
    ASSERT_EQ(GetLe16(image, ReadLayout(image).optional_header), 0x010B) << "not PE32";
    image.resize((image.size() + 7) / 8 * 8, 0);  // the table starts at a multiple of 8
    const TestKey key = KeyFromSeedByte(0x33);
    const std::string out = ::testing::TempDir() + "quorvel-syslinux.efi";
    WriteFile(
        out, AppendCertificateTable(image, MakeQuorvelEntry(MakeSignedPayload(
                                               key, ReferenceImageDigest(image), "pe32.example"))));
    quorvel_verify_result result;
    EXPECT_EQ(VerifyFromFile(out, key.public_key, &result), QUORVEL_OK);
    EXPECT_STREQ(result.domain, "pe32.example");
    std::remove(out.c_str());
}

}  // namespace
}  // namespace quorvel_test
