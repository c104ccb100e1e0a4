// What only the Windows build can show: the platform's PKCS#7 decoder (crypt32) against
// OpenSSL's on the natively made messages, and wide and long file names through the file
// stream (_wfopen_s, _fseeki64) into the platform's SHA-256 (CNG) and decoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "authenticode_fixtures.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/signing.h"
#include "verification/file_stream.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvel_test;
using windows_fixtures::DescribeMessage;

// The folder that the native quorvel-authenticode-fixtures wrote, a Linux path that Wine
// reaches through drive Z:.
fs::path Fixtures() {
    const char* folder = std::getenv("QUORVEL_AUTHENTICODE_FIXTURES");
    return fs::path(std::string("Z:") + (folder != nullptr ? folder : "/missing"));
}

// Where crypt32 under Wine answers otherwise than OpenSSL, still checked exactly: it refuses
// the message ("0|0|0|-|-"), or everything but the attribute text agrees.
const struct {
    const char* name;
    bool refused;
} kKnownDifferences[] = {
    {"octet-string-non-minimal-length", false},  // OpenSSL re-encodes values minimally
    {"long-identifier", false},                  // Wine writes arcs above 2^31 signed
    {"octet-string-8-length-bytes", true},       // crypt32 refuses lengths in 8 bytes
    {"payload-on-second-signer-only", true},     // Wine refuses two signers
};

TEST(CryptoApiDecoder, AgreesWithOpenSslOnEveryNativeMessage) {
    std::ifstream expected(Fixtures() / windows_fixtures::kExpectedFile);
    ASSERT_TRUE(expected) << "QUORVEL_AUTHENTICODE_FIXTURES must name the folder written by "
                             "the native quorvel-authenticode-fixtures";
    int compared = 0;
    for (std::string name, native; expected >> name >> native; ++compared) {
        std::string windows = DescribeMessage(ReadFile((Fixtures() / (name + ".p7b")).string()));
        for (const auto& known : kKnownDifferences) {
            if (name == known.name && known.refused) {
                native = "0|0|0|-|-";
            } else if (name == known.name) {
                windows.erase(windows.rfind('|'));
                native.erase(native.rfind('|'));
            }
        }
        EXPECT_EQ(windows, native) << name;
    }
    EXPECT_EQ(compared, 14);
}

TEST(FileStream, WideAndLongPathsVerifyThroughTheFileSeam) {
    const Bytes image = ReadFile((Fixtures() / windows_fixtures::kSignedFile).string());
    const TestKey key = KeyFromSeedByte(windows_fixtures::kSignedFileSeed);
    // Emptied before each run by the test windows_platform_clean.
    const fs::path base = fs::current_path() / L"wide-paths";
    const std::wstring deep = base.wstring() + L"\\" + std::wstring(200, L'a') + L"\\" +
                              std::wstring(200, L'b') + L"\\" + std::wstring(200, L'c');
    const struct {
        const char* name;
        std::wstring path;
    } cases[] = {
        {"Latin and Greek", base.wstring() + L"\\Pr\u00fcfung \u03a9\\signiert \u00fc.exe"},
        {"CJK", base.wstring() + L"\\\u65e5\u672c\u8a9e\\\u7f72\u540d.dll"},
        {"outside the BMP", base.wstring() + L"\\\U0001F600\\\U0001F512 locked.exe"},
        {"over 600 characters, extended form", L"\\\\?\\" + deep + L"\\\u00e4 long.exe"},
    };
    for (const auto& c : cases) {
        const fs::path file(c.path);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
        const std::u16string path(c.path.begin(), c.path.end());
        void* stream = OpenFileStream(path);
        ASSERT_NE(stream, nullptr) << c.name;
        quorvel_verify_result result{};
        EXPECT_EQ(quorvel_verify_file(stream, FileStreamIo(), key.public_key.data(), &result),
                  QUORVEL_OK)
            << c.name;
        EXPECT_EQ(std::string(result.domain, result.domain_length),
                  windows_fixtures::kSignedFileDomain)
            << c.name;
        // A NUL inside the name would open another file than the one named.
        EXPECT_EQ(OpenFileStream(path + u'\0' + u".txt"), nullptr) << c.name;
    }
}

}  // namespace
