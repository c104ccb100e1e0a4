// The page end to end: the host program shows a Properties window with the DLL's page for
// signed samples whose keys the loopback key server publishes, and reports what the page shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "page_host_fixture.h"
#include "shell_test_support.h"

namespace {

using page_host::HostRun;
using page_host::KeyServer;
using page_host::Samples;
using shell_test::ToUtf8;

constexpr char kChecking[] = "Quorvel: checking...";
constexpr char kCheckingResult[] = "Checking Quorvel signature...";
constexpr char kNotProvided[] = "(not provided)";
constexpr char kNotAvailable[] = "(not available)";
constexpr char kGreen[] = "006400";
constexpr char kCrimson[] = "DC143C";
constexpr char kLinkBlue[] = "0066CC";

class PageHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { samples_ = new Samples(); }
    static void TearDownTestSuite() {
        delete samples_;
        samples_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(samples_->ready()) << samples_->problem();
    }

    static Samples* samples_;
};

Samples* PageHostTest::samples_ = nullptr;

TEST_F(PageHostTest, ProvisionalTextsThenTheVerifiedOutcomeInGreen) {
    const std::wstring shot = samples_->ArtifactPath(L"verified-tab.bmp");
    DeleteFileW(shot.c_str());
    const HostRun run = page_host::RunHost(
        {L"--dll", shell_test::DllPath(), L"--select-tab", L"Quorvel", L"--dump-colors",
         L"--screenshot", shot},
        samples_->Sample("verified"));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    const auto& f = run.fields;
    EXPECT_EQ(f.at("create"), "0x00000000");
    EXPECT_EQ(f.at("add-pages"), "0x00000000");
    EXPECT_EQ(f.at("title"), "quorvel-verified.exe Properties");
    EXPECT_EQ(f.at("page"), "created");

    // Before the outcome: the handler's texts, the domain from the preview, "(not provided)".
    EXPECT_EQ(f.at("provisional-status"), kChecking);
    EXPECT_EQ(f.at("provisional-domain"), samples_->domain());
    EXPECT_EQ(f.at("provisional-description"), kNotProvided);
    EXPECT_EQ(f.at("provisional-result"), kCheckingResult);

    EXPECT_EQ(f.at("outcome"), "shown");
    EXPECT_EQ(f.at("status"), "Quorvel: verified");
    EXPECT_EQ(f.at("domain"), samples_->domain());
    EXPECT_EQ(f.at("description"), "Release key & build farm");
    EXPECT_EQ(f.at("result"), "The signature validated successfully.");
    EXPECT_EQ(f.at("status-color"), kGreen);
    EXPECT_EQ(f.at("link-color"), kLinkBlue);
    EXPECT_EQ(f.at("domain-color"), "default");
    EXPECT_EQ(f.at("handler-references-after-close"), "0");

    // The pixels on screen: the status line is drawn in RGB(0, 100, 0) and the link in
    // RGB(0, 102, 204).
    ASSERT_EQ(f.at("screenshot"), "saved");
    const page_host::Bitmap bitmap = page_host::ReadBitmap(shot);
    ASSERT_TRUE(bitmap.valid) << "cannot read " << ToUtf8(shot);
    EXPECT_GT(bitmap.Count(RGB(0, 100, 0)), 20U) << "green status text";
    EXPECT_GT(bitmap.Count(RGB(0, 102, 204)), 20U) << "blue licences link";
    EXPECT_EQ(bitmap.Count(RGB(220, 20, 60)), 0U) << "no crimson on a verified tab";
}

struct OutcomeCase {
    const char* name;
    const char* sample;    // Samples::Sample name, or "" for a data object without CF_HDROP
    const char* status;
    const char* result;
    bool domainIsSigners;  // the payload's domain; else "(not available)"
    const char* description;
    const char* color;     // "" for the window text colour
};

TEST_F(PageHostTest, EveryKindOfOutcomeWithItsTextsAndColour) {
    const OutcomeCase cases[] = {
        {"verified, no description", "verified-nodesc", "Quorvel: verified",
         "The signature validated successfully.", true, kNotProvided, kGreen},
        {"revoked key", "revoked", "Quorvel: revoked", "The signing key is revoked.", true,
         "Retired 2025", kCrimson},
        {"no key document (404)", "unknown-key", "Quorvel: key fetch failed (HTTP 404)",
         "The signing key server returned an unexpected response.", true, kNotProvided, kCrimson},
        {"kid mismatch", "wrong-kid", "Quorvel: key response invalid (kid mismatch)",
         "The signing key response is invalid.", true, kNotProvided, kCrimson},
        {"unsigned PE file", "unsigned", "Quorvel: no signature", "No Quorvel signature was found.",
         false, kNotProvided, kCrimson},
        {"not a PE file", "text", "Quorvel: not a PE file", "The selected file is not a PE file.",
         false, kNotProvided, kCrimson},
        {"no file selected (no CF_HDROP): the job still runs", "", "Quorvel: unavailable",
         "No file selected.", false, kNotProvided, ""},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> args = {L"--dll", shell_test::DllPath(), L"--select-tab",
                                          L"Quorvel", L"--dump-colors"};
        std::wstring file;
        if (*c.sample == '\0') {
            args.push_back(L"--no-file");
        } else {
            file = samples_->Sample(c.sample);
        }
        const HostRun run = page_host::RunHost(args, file);
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.exitCode, 0U) << run.output;
        const auto& f = run.fields;
        ASSERT_EQ(f.count("status"), 1U) << run.output;
        EXPECT_EQ(f.at("outcome"), "shown");
        EXPECT_EQ(f.at("status"), c.status);
        EXPECT_EQ(f.at("result"), c.result);
        EXPECT_EQ(f.at("domain"), c.domainIsSigners ? samples_->domain() : kNotAvailable);
        EXPECT_EQ(f.at("description"), c.description);
        EXPECT_EQ(f.at("status-color"), *c.color != '\0' ? c.color : f.at("window-text-color"));
        EXPECT_EQ(f.at("link-color"), kLinkBlue);
    }
}

TEST_F(PageHostTest, LicencesDialogOpensWithTheNoticesAndEscapeClosesIt) {
    const std::wstring textFile = samples_->ArtifactPath(L"licenses-text.bin");
    DeleteFileW(textFile.c_str());
    const HostRun run = page_host::RunHost(
        {L"--dll", shell_test::DllPath(), L"--select-tab", L"Quorvel", L"--open-licenses", textFile},
        samples_->Sample("verified"));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    EXPECT_EQ(run.fields.at("licenses-dialog"), "opened");
    EXPECT_EQ(run.fields.at("licenses-dialog-closed"), "by escape");
    EXPECT_EQ(run.fields.at("licenses-dialog-still-open"), "no");

    const std::string bytes = shell_test::ReadFileBytes(textFile);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const std::vector<std::string> blocks = page_host::ExpectedNoticeBlocks();
    ASSERT_EQ(blocks.size(), 5U) << "notice sources not found";
    page_host::ExpectNoticeText(text, blocks);
}

// Closing the window while the worker still waits for the key server: nothing is shown, nothing
// crashes, and the module stays mapped until the worker has returned.
TEST_F(PageHostTest, ClosingDuringASlowFetchKeepsTheModuleUntilTheWorkerReturns) {
    const HostRun run = page_host::RunHost(
        {L"--dll", shell_test::DllPath(), L"--select-tab", L"Quorvel", L"--close-after-ms", L"700",
         L"--pump-after-close-ms", L"200", L"--unload-check"},
        samples_->Sample("slow"));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    const auto& f = run.fields;
    EXPECT_EQ(f.at("outcome"), "none");
    EXPECT_EQ(f.at("status"), kChecking) << "no outcome reached the page before it closed";
    EXPECT_EQ(f.at("late-outcome-messages"), "0");
    EXPECT_EQ(f.at("handler-references-after-close"), "0");
    // COM would unload now: no factory, lock or handler is left ...
    EXPECT_EQ(f.at("can-unload-after-close"), "0x00000000");
    // ... but the worker's own module reference keeps the code mapped until it returns.
    EXPECT_EQ(f.at("mapped-after-free"), "yes");
    EXPECT_EQ(f.at("unmapped"), "yes");
    EXPECT_TRUE(samples_->server().WasRequested(samples_->KeyPath("slow")))
        << "the worker never reached the key server";
}

TEST_F(PageHostTest, TabNeverOpenedLetsTheHandlerGo) {
    const HostRun run = page_host::RunHost(
        {L"--dll", shell_test::DllPath(), L"--no-wait", L"--unload-check"},
        samples_->Sample("verified"));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    const auto& f = run.fields;
    EXPECT_EQ(f.at("pages"), "2") << "the host's General tab and the Quorvel tab";
    EXPECT_EQ(f.at("page"), "not created");
    EXPECT_EQ(f.at("handler-references-after-close"), "0");
    EXPECT_EQ(f.at("can-unload-after-close"), "0x00000000");
    EXPECT_EQ(f.at("mapped-after-free"), "no") << "no worker ran, nothing holds the module";
}

}  // namespace
