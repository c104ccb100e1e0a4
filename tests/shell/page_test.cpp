// The page end to end: the host program (tools/) hands the handler a file signed for the loopback
// key server, shows the tab, reports it, saves a screenshot, opens and escapes the licences dialog.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "keyserver/keyserver_client.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"
#include "shell_module.h"

namespace {

using namespace quorvel_test;
using Fields = std::map<std::string, std::string>;

constexpr char kDescription[] = "Release key \u00b7 B\u00fcro & Co";  // UTF-8, through Utf8ToWide
constexpr COLORREF kGreen = RGB(0, 100, 0);
constexpr COLORREF kCrimson = RGB(220, 20, 60);
constexpr COLORREF kLinkBlue = RGB(0, 102, 204);

// The build tree's paths are ASCII.
std::string Narrow(const std::wstring& ascii) { return {ascii.begin(), ascii.end()}; }
const std::string kHost = Narrow(shell_test::BinFolder()) + "quorvel-properties-host.exe";

// Runs the host program on the module with the Quorvel tab selected; its "key: value" lines,
// and "exit" for its exit status.
Fields RunHost(const std::string& arguments) {
    const std::string command = "\"\"" + kHost + "\" --dll \"" + Narrow(shell_test::DllPath()) +
                                "\" --select-tab Quorvel " + arguments + "\"";
    FILE* output = _popen(command.c_str(), "rb");
    Fields fields;
    char line[4096];
    while (output != nullptr && std::fgets(line, sizeof line, output) != nullptr) {
        const std::string text(line, std::strcspn(line, "\r\n"));
        const size_t colon = text.find(": ");
        if (colon != std::string::npos) fields[text.substr(0, colon)] = text.substr(colon + 2);
    }
    fields["exit"] = std::to_string(output != nullptr ? _pclose(output) : -1);
    return fields;
}

// Pixels of one colour in the 24-bit BMP that the host saves.
size_t CountPixels(const Bytes& bmp, COLORREF color) {
    if (bmp.size() < 54) return 0;
    uint32_t offset = 0, width = 0;
    std::memcpy(&offset, &bmp[10], 4);
    std::memcpy(&width, &bmp[18], 4);
    const size_t row = size_t{width} * 3, stride = (row + 3) & ~size_t{3};
    size_t count = 0;
    for (size_t at = offset; row > 0 && at + row <= bmp.size(); at += stride)
        for (size_t x = at; x < at + row; x += 3)
            count += RGB(bmp[x + 2], bmp[x + 1], bmp[x]) == color ? 1U : 0U;
    return count;
}

class PageTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        const char* state = std::getenv("QUORVEL_SHELL_KEYSERVER_STATE");
        ready_ = state != nullptr && server_.Open(state, nullptr);
        artifacts_ = keyserver::NativePath(std::getenv("QUORVEL_SHELL_ARTIFACTS"));
        CreateDirectoryA(artifacts_.c_str(), nullptr);
        // A real PE, the host program itself, with 32 MiB of zeros after it, read in pieces by
        // the page. Signing it and each verdict take about 0.2 s under Wine, whose SHA-256 runs
        // at about 200 MiB/s.
        host_ = ReadFile(kHost);
        host_.resize((host_.size() + 7) / 8 * 8 + (std::size_t{32} << 20), 0);
    }
    void SetUp() override { ASSERT_TRUE(ready_ && host_.size() > 4096) << "no server or host"; }

    // FOLDER\NAME.exe signed for the key server with the key of seed, whose document the
    // server answers after delayMs; with tamper, one signed byte changed afterwards.
    std::string Sample(const char* name, unsigned char seed, int delayMs = 0, bool tamper = false) {
        const TestKey key = KeyFromSeedByte(seed);
        Bytes image = SignPe(host_, key, Domain(), Container::kQuorvelEntry);
        image[0x600] ^= tamper ? 0x01 : 0x00;
        const std::string path = artifacts_ + "\\" + name + ".exe";
        WriteFile(path, image);
        const KeyId id = JwkThumbprint(key.public_key);
        const std::string kid = Base64Url(id.data(), id.size());
        keyserver::Route route;
        route.body = "{\"jwk\": {\"kty\": \"OKP\", \"crv\": \"Ed25519\", \"x\": \"" +
                     Base64Url(key.public_key.data(), key.public_key.size()) + "\", \"kid\": \"" +
                     kid + "\"}, \"status\": {\"state\": \"active\"}, \"description\": \"" +
                     kDescription + "\"}";
        route.headersDelayMs = delayMs;
        keyPath_ = "/.well-known/vantors/v1/" + kid;
        EXPECT_TRUE(server_.PutRoute(keyPath_, route, nullptr));
        return "\"" + path + "\"";
    }
    static std::string Domain() { return server_.Domain(keyserver::Listener::Trusted); }

    static inline keyserver::Client server_;
    static inline bool ready_ = false;
    static inline std::string artifacts_;
    static inline Bytes host_;
    std::string keyPath_;
};

TEST_F(PageTest, VerifiedAndFailedOutcomesInTheirColours) {
    const struct {
        const char *name, *status, *result;
        bool tamper;
        COLORREF shown, absent;
    } cases[] = {
        {"verified", "Quorvel: verified", "The signature validated successfully.", false, kGreen,
         kCrimson},
        {"failed", "Quorvel: signature invalid", "The signature does not match the file contents.",
         true, kCrimson, kGreen},
    };
    for (const auto& c : cases) {
        const std::string shot = artifacts_ + "\\" + c.name + "-tab.bmp";
        const std::string notices = artifacts_ + "\\" + c.name + "-licenses.txt";
        Fields f = RunHost("--screenshot \"" + shot + "\" --open-licenses \"" + notices + "\" " +
                           Sample(c.name, 0x31, 0, c.tamper));
        // Before the outcome: the handler's texts and the domain that the preview read.
        EXPECT_EQ(f["provisional-status"] + "|" + f["provisional-domain"],
                  "Quorvel: checking...|" + Domain())
            << c.name;
        EXPECT_EQ(f["status"] + "|" + f["result"], std::string(c.status) + "|" + c.result)
            << c.name;
        EXPECT_EQ(f["domain"] + "|" + f["description"], Domain() + "|" + kDescription) << c.name;
        EXPECT_EQ(f["exit"] + f["handler-references-after-close"], "00") << c.name;
        EXPECT_EQ(f["licenses-dialog-closed"] + f["licenses-dialog-still-open"], "by escapeno");
        EXPECT_GT(ReadFile(notices).size(), 1000U) << c.name << ": the notices' text";
        const Bytes bmp = ReadFile(shot);
        EXPECT_GT(CountPixels(bmp, c.shown), 20U) << c.name << ": the status line on screen";
        EXPECT_GT(CountPixels(bmp, kLinkBlue), 20U) << c.name << ": the licences link on screen";
        EXPECT_EQ(CountPixels(bmp, c.absent), 0U) << c.name;
    }
}

// A selection without CF_HDROP: the page says so. Closed while the worker waits for the server:
// no outcome, COM may unload the module, the worker's own reference keeps it mapped till it ends.
TEST_F(PageTest, NoFileAndAWorkerStillFetchingKeepsTheModuleMapped) {
    EXPECT_EQ(RunHost("--no-file " + Sample("unused", 0x34))["result"], "No file selected.");
    Fields f = RunHost("--close-after-ms 700 --unload-check " + Sample("slow", 0x33, 3000));
    EXPECT_EQ(f["outcome"], "none");
    EXPECT_EQ(f["can-unload-after-close"], "0x00000000");
    EXPECT_EQ(f["mapped-after-free"], "yes");
    EXPECT_EQ(f["unmapped"], "yes");
    EXPECT_FALSE(server_.RequestsFor(keyPath_).empty())
        << "the worker never reached the key server";
}

}  // namespace
