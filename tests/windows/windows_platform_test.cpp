// What only the Windows build can show: the platform's PKCS#7 decoder (crypt32) against
// OpenSSL's, and wide and long file names through the file stream into CNG's SHA-256.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "authenticode_fixtures.h"
#include "quorvel/quorvel.h"
#include "quorvel_test/signing.h"
#include "verification/file_stream.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvel_test;

// The folder of the native quorvel-authenticode-fixtures, reached through Wine's drive Z:.
const char* const kFolder = std::getenv("QUORVEL_AUTHENTICODE_FIXTURES");
fs::path Fixtures() { return kFolder != nullptr ? kFolder : "missing"; }

TEST(CryptoApiDecoder, AgreesWithOpenSslOnEveryNativeMessage) {
    std::ifstream expected(Fixtures() / windows_fixtures::kExpectedFile);
    ASSERT_TRUE(expected) << "no files of the native quorvel-authenticode-fixtures";
    int compared = 0;
    for (std::string name, native; expected >> name >> native; ++compared) {
        std::string windows =
            windows_fixtures::DescribeMessage(ReadFile((Fixtures() / (name + ".p7b")).string()));
        // OpenSSL re-encodes values minimally, crypt32 hands them on as written.
        const size_t cut = name == "non-minimal-length" ? native.rfind('|') : std::string::npos;
        EXPECT_EQ(windows.substr(0, cut), native.substr(0, cut)) << name;
    }
    EXPECT_EQ(compared, 10);
}

TEST(FileStream, WideAndLongPathsVerifyThroughTheFileSeam) {
    const TestKey key = KeyFromSeedByte(windows_fixtures::kSignedFileSeed);
    // Emptied before each run by the test windows_platform_clean.
    const std::wstring base = (fs::current_path() / L"wide-paths").wstring();
    const std::pair<const char*, std::wstring> cases[] = {
        {"Latin, Greek and CJK", base + L"\\Pr\u00fcfung \u03a9\\\u7f72\u540d.dll"},
        {"outside the BMP", base + L"\\\U0001F600\\\U0001F512 locked.exe"},
        {"over MAX_PATH, extended form", L"\\\\?\\" + base + L"\\" + std::wstring(250, L'a') +
                                             L"\\" + std::wstring(250, L'b') + L"\\\u00e4.exe"},
    };
    for (const auto& [name, wide] : cases) {
        fs::create_directories(fs::path(wide).parent_path());
        fs::copy_file(Fixtures() / windows_fixtures::kSignedFile, wide);
        const std::u16string path(wide.begin(), wide.end());
        quorvel_verify_result result{};
        EXPECT_EQ(quorvel_verify_file(OpenFileStream(path), FileStreamIo(), key.public_key.data(),
                                      &result),
                  QUORVEL_OK)
            << name;
        // A NUL inside the name would open another file than the one named.
        EXPECT_EQ(OpenFileStream(path + u'\0' + u".txt"), nullptr) << name;
    }
}

}  // namespace
