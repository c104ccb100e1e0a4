// PE files that nobody here wrote: Wine's DLLs (no certificate table), the
// Authenticode-signed EFI binaries of Debian's shim-signed and grub-efi-amd64-signed, and the
// PE32 EFI binary of syslinux-efi. The EFI binaries are unpacked by the
// fetch_debian_pe_samples fixture.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

TEST(RealFiles, WineDllsHaveNoSignature) {
    const fs::path dir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    ASSERT_TRUE(fs::is_directory(dir)) << dir << " is missing: install Debian's wine64";
    size_t checked = 0;
    size_t digests = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".dll" || !entry.is_regular_file()) continue;
        quorvel_signature_info info;
        ASSERT_EQ(ReadInfoFromFile(entry.path().string(), &info), QUORVEL_ERR_NO_SIGNATURE)
            << entry.path();
        ++checked;
        if (checked % 50 == 1) {  // the digest of a sample of them, against the reference
            const Bytes image = ReadFile(entry.path().string());
            Digest digest{};
            ASSERT_EQ(quorvel_image_digest(image.data(), image.size(), digest.data()), QUORVEL_OK)
                << entry.path();
            ASSERT_EQ(digest, ReferenceImageDigest(image)) << entry.path();
            ++digests;
        }
    }
    EXPECT_GE(checked, 100U) << "too few DLLs found in " << dir;
    EXPECT_GE(digests, 2U);
}

struct EfiSample {
    const char* name;
    const char* relative_path;
};

void PrintTo(const EfiSample& sample, std::ostream* out) { *out << sample.relative_path; }

class SignedEfi : public ::testing::TestWithParam<EfiSample> {
  protected:
    std::string Path() const {
        return std::string(QUORVEL_DEBIAN_SAMPLES_DIR) + "/" + GetParam().relative_path;
    }

    // The file with the payload added to signer 0 of its first Authenticode entry.
    Bytes WithPayload(const Bytes& original, const Bytes& payload_value) {
        std::vector<CertificateEntry> entries = SplitCertificateTable(original);
        Bytes table;
        bool added = false;
        for (const CertificateEntry& entry : entries) {
            if (!added && entry.revision == 0x0200 && entry.type == 0x0002) {
                const Bytes message = AddAttributeToFirstSigner(
                    entry.content, AttributeSpec{kQuorvelPayloadOid, {payload_value}});
                Append(table, MakeAuthenticodeEntry(message));
                added = true;
            } else {
                Bytes same(original.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                           original.begin() + static_cast<std::ptrdiff_t>(
                                                  entry.offset + (entry.length + 7u) / 8 * 8));
                Append(table, same);
            }
        }
        EXPECT_TRUE(added) << "no Authenticode entry";
        return ReplaceCertificateTable(original, table);
    }
};

TEST_P(SignedEfi, HasNoQuorvelSignatureAsShipped) {
    ASSERT_TRUE(fs::exists(Path())) << Path() << " is missing: the fetch fixture did not run";
    const Bytes original = ReadFile(Path());
    const std::vector<CertificateEntry> entries = SplitCertificateTable(original);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].revision, 0x0200);
    EXPECT_EQ(entries[0].type, 0x0002);
    quorvel_signature_info info;
    EXPECT_EQ(ReadInfoFromFile(Path(), &info), QUORVEL_ERR_NO_SIGNATURE);
    Digest digest{};
    ASSERT_EQ(quorvel_image_digest(original.data(), original.size(), digest.data()), QUORVEL_OK);
    EXPECT_EQ(digest, ReferenceImageDigest(original));
}

TEST_P(SignedEfi, PayloadAddedToItsOwnSignatureIsFoundAndVerifies) {
    ASSERT_TRUE(fs::exists(Path())) << Path() << " is missing: the fetch fixture did not run";
    const Bytes original = ReadFile(Path());
    const TestKey key = KeyFromSeedByte(0x31);
    const Digest digest = ReferenceImageDigest(original);
    const Bytes payload = MakeSignedPayload(key, digest, "efi.example.net");
    const Bytes signed_file = WithPayload(original, DerOctetString(payload));
    ASSERT_NE(signed_file, original);
    const size_t entry_count = SplitCertificateTable(original).size();
    EXPECT_EQ(SplitCertificateTable(signed_file).size(), entry_count);

    const std::string out = ::testing::TempDir() + "quorvel-" + GetParam().name + ".efi";
    WriteFile(out, signed_file);
    quorvel_signature_info info;
    ASSERT_EQ(ReadInfoFromFile(out, &info), QUORVEL_OK);
    EXPECT_STREQ(info.domain, "efi.example.net");
    EXPECT_EQ(0, std::memcmp(info.key_id, JwkThumbprint(key.public_key).data(), 32));
    EXPECT_EQ(0, std::memcmp(info.signature, payload.data(), 64));

    // The table is left out of the digest: the file's digest did not change by signing.
    Digest after{};
    ASSERT_EQ(quorvel_image_digest(signed_file.data(), signed_file.size(), after.data()),
              QUORVEL_OK);
    EXPECT_EQ(after, digest);

    quorvel_verify_result result;
    EXPECT_EQ(VerifyFromFile(out, key.public_key, &result), QUORVEL_OK);
    EXPECT_EQ(result.verified, 1U);
    EXPECT_STREQ(result.domain, "efi.example.net");
    EXPECT_EQ(VerifyFromFile(out, KeyFromSeedByte(0x32).public_key, &result),
              QUORVEL_ERR_SIGNATURE_INVALID);

    // One changed code byte breaks it.
    Bytes tampered = signed_file;
    tampered[0x400] ^= 0x01;
    WriteFile(out, tampered);
    EXPECT_EQ(VerifyFromFile(out, key.public_key, &result), QUORVEL_ERR_SIGNATURE_INVALID);
    std::remove(out.c_str());
}

TEST_P(SignedEfi, AttributeWithoutAValidValueIsInvalidPayload) {
    ASSERT_TRUE(fs::exists(Path())) << Path() << " is missing: the fetch fixture did not run";
    const Bytes original = ReadFile(Path());
    const Bytes signed_file = WithPayload(original, DerNull());
    quorvel_signature_info info;
    const std::string out = ::testing::TempDir() + "quorvel-bad-" + GetParam().name + ".efi";
    WriteFile(out, signed_file);
    EXPECT_EQ(ReadInfoFromFile(out, &info), QUORVEL_ERR_INVALID_PAYLOAD);
    std::remove(out.c_str());
}

TEST(RealFiles, UnsignedPe32EfiBinarySignedWithAQuorvelEntry) {
    const std::string path =
        std::string(QUORVEL_DEBIAN_SAMPLES_DIR) + "/usr/lib/SYSLINUX.EFI/efi32/syslinux.efi";
    ASSERT_TRUE(fs::exists(path)) << path << " is missing: the fetch fixture did not run";
    Bytes image = ReadFile(path);
    ASSERT_EQ(GetLe16(image, ReadLayout(image).optional_header), 0x010B) << "not PE32";
    quorvel_signature_info info;
    EXPECT_EQ(ReadInfoFromFile(path, &info), QUORVEL_ERR_NO_SIGNATURE);

    image.resize((image.size() + 7) / 8 * 8, 0);  // the table starts at a multiple of 8
    const TestKey key = KeyFromSeedByte(0x33);
    const Digest digest = ReferenceImageDigest(image);
    const Bytes signed_file = AppendCertificateTable(
        image, MakeQuorvelEntry(MakeSignedPayload(key, digest, "pe32.example")));
    const std::string out = ::testing::TempDir() + "quorvel-syslinux.efi";
    WriteFile(out, signed_file);
    quorvel_verify_result result;
    EXPECT_EQ(VerifyFromFile(out, key.public_key, &result), QUORVEL_OK);
    EXPECT_STREQ(result.domain, "pe32.example");
    std::remove(out.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Debian, SignedEfi,
    ::testing::Values(EfiSample{"shim", "usr/lib/shim/shimx64.efi.signed"},
                      EfiSample{"grub", "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed"}),
    [](const auto& sample) { return std::string(sample.param.name); });

}  // namespace
}  // namespace quorvel_test
