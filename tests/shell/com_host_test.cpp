// The page created the way Explorer creates it: the class registered in the Wine prefix,
// CoCreateInstance, and COM's own unloading of unused libraries.
#include <windows.h>

#include <gtest/gtest.h>

#include "page_host_fixture.h"
#include "shell_test_support.h"

namespace {

class ComHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(samples_.ready()) << samples_.problem();
        ASSERT_NE(dll_.module(), nullptr);
        ASSERT_EQ(dll_.Register(), S_OK);
    }
    void TearDown() override { EXPECT_EQ(dll_.Unregister(), S_OK); }

    page_host::Samples samples_;
    shell_test::Dll dll_;
};

TEST_F(ComHostTest, RegisteredClassShowsTheVerifiedPageAndUnloads) {
    const page_host::HostRun run = page_host::RunHost(
        {L"--select-tab", L"Quorvel", L"--unload-check"}, samples_.Sample("verified"));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    const auto& f = run.fields;
    EXPECT_EQ(f.at("create"), "0x00000000");
    EXPECT_EQ(f.at("status"), "Quorvel: verified");
    EXPECT_EQ(f.at("domain"), samples_.domain());
    EXPECT_EQ(f.at("handler-references-after-close"), "0");
    EXPECT_EQ(f.at("can-unload-after-close"), "0x00000000");
    EXPECT_EQ(f.at("unmapped"), "yes") << "CoFreeUnusedLibrariesEx unloads the idle module";
}

TEST_F(ComHostTest, CoFreeUnusedLibrariesWhileTheWorkerWaits) {
    const page_host::HostRun run = page_host::RunHost(
        {L"--select-tab", L"Quorvel", L"--close-after-ms", L"700", L"--unload-check"},
        samples_.Sample("slow"));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    const auto& f = run.fields;
    EXPECT_EQ(f.at("status"), "Quorvel: checking...");
    EXPECT_EQ(f.at("can-unload-after-close"), "0x00000000");
    // COM has let go of the module; the worker's reference keeps it mapped until it returns.
    EXPECT_EQ(f.at("mapped-after-free"), "yes");
    EXPECT_EQ(f.at("unmapped"), "yes");
}

}  // namespace

namespace {

// Wine's own Properties window (shell32, the context menu's "properties" command) looks for
// property sheet handlers under HKCR\* and HKCR\<program id> only, not below
// SystemFileAssociations. With the registration above plus an entry under HKCR\* (which it
// reads for every file), the shell's own window loads the DLL and shows the Quorvel tab.
TEST_F(ComHostTest, WinesOwnPropertiesWindowLoadsTheHandlerFromTheAllFilesKey) {
    const wchar_t* key = L"*\\shellex\\PropertySheetHandlers\\quorvel";
    HKEY handlerKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handlerKey,
                              nullptr),
              ERROR_SUCCESS);
    const std::wstring classId = shell_test::kClassIdText;
    RegSetValueExW(handlerKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(classId.c_str()),
                   static_cast<DWORD>((classId.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handlerKey);

    const page_host::HostRun run = page_host::RunHost(
        {L"--system-dialog", L"--timeout-ms", L"15000"}, samples_.Sample("verified"));
    RegDeleteKeyW(HKEY_CLASSES_ROOT, key);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0U) << run.output;
    EXPECT_EQ(run.fields.at("system-dialog"), "Properties for quorvel-verified.exe");
    EXPECT_EQ(run.fields.at("system-dialog-tabs"), "General, Quorvel");
}

}  // namespace
