// PE files that nobody here wrote, from Debian packages unpacked by the fetch_debian_pe_samples
// fixture (tests/support/fetch-debian-pe-samples.sh), read through buffered file streams as the
// shell side fills the callbacks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
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

const quorvel_io kFileIo = {
    [](void* buffer, size_t size, size_t count, void* handle) {
        return std::fread(buffer, size, count, static_cast<FILE*>(handle));
    },
    [](void* handle, int64_t offset, int origin) {
        return fseeko(static_cast<FILE*>(handle), static_cast<off_t>(offset), origin);
    },
    [](void* handle) -> int64_t { return ftello(static_cast<FILE*>(handle)); },
    [](void* handle) { return std::fclose(static_cast<FILE*>(handle)); }};

// quorvel_verify_file on the file at path; without a key, quorvel_read_signature_info.
int Check(const std::string& path, const TestKey* key, quorvel_verify_result* result) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return 1;
    }
    quorvel_signature_info info;
    return key == nullptr ? quorvel_read_signature_info(file, &kFileIo, &info)
                          : quorvel_verify_file(file, &kFileIo, key->public_key.data(), result);
}

// Wine's DLLs and programs have no certificate table; the digest agrees with the reference.
TEST(RealFiles, WineFilesHaveNoSignature) {
    const fs::path dir =
        fs::path(QUORVEL_DEBIAN_SAMPLES_DIR) / "usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    ASSERT_TRUE(fs::is_directory(dir)) << dir << " is missing: the fetch fixture did not run";
    size_t checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        ASSERT_EQ(Check(entry.path().string(), nullptr, nullptr), QUORVEL_ERR_NO_SIGNATURE)
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

// The image with value added as a Quorvel attribute to signer 0 of its own Authenticode entry.
Bytes WithAttribute(const Bytes& original, const Bytes& value) {
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
}

// Shipped unsigned by us: nothing found. Signed (in their own Authenticode signature, or with
// the library's entry appended to syslinux's PE32 binary): verifies with the signing key,
// and no longer once a byte of the image changes.
TEST(RealFiles, SignedDebianBinaries) {
    const struct {
        const char* path;
        bool authenticode;
    } cases[] = {
        {"usr/lib/shim/shimx64.efi.signed", true},
        {"usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed", true},
        {"usr/lib/SYSLINUX.EFI/efi32/syslinux.efi", false},
    };
    const TestKey key = KeyFromSeedByte(0x31);
    // Named per process: several builds of the suite may run on one machine at once.
    const std::string out =
        ::testing::TempDir() + "quorvel-real-" + std::to_string(getpid()) + ".efi";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string path = std::string(QUORVEL_DEBIAN_SAMPLES_DIR) + "/" + c.path;
        EXPECT_EQ(Check(path, nullptr, nullptr), QUORVEL_ERR_NO_SIGNATURE);
        Bytes image = ReadFile(path);
        if (!c.authenticode) image.resize((image.size() + 7) / 8 * 8, 0);  // a table's alignment
        const Bytes payload = MakeSignedPayload(key, ReferenceImageDigest(image), "efi.example");
        Bytes signed_image = c.authenticode
                                 ? WithAttribute(image, DerOctetString(payload))
                                 : AppendCertificateTable(image, MakeQuorvelEntry(payload));
        WriteFile(out, signed_image);
        quorvel_verify_result result;
        EXPECT_EQ(Check(out, &key, &result), QUORVEL_OK);
        EXPECT_STREQ(result.domain, "efi.example");
        signed_image[0x400] ^= 0x01;
        WriteFile(out, signed_image);
        EXPECT_EQ(Check(out, &key, &result), QUORVEL_ERR_SIGNATURE_INVALID);
    }
    std::remove(out.c_str());
}

}  // namespace
}  // namespace quorvel_test
