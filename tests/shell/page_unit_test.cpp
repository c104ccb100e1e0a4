// The page's dialog procedure, the licences text and the allocation failures of the COM
// classes, linked directly into the test program (which plays the module: its own instance
// holds the templates and the font).
#include <windows.h>
#include <prsht.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "class_factory.h"
#include "page_host_fixture.h"
#include "resource.h"
#include "shell_test_support.h"
#include "shell/module_state.h"
#include "shell/property_sheet_handler.h"
#include "ui/licenses_dialog.h"
#include "ui/property_page.h"
#include "ui/wide_text.h"
#include "verification/outcome_delivery.h"
#include "worker_seams.h"

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* object);
STDAPI DllCanUnloadNow();

// --- Allocation control for the whole test program ------------------------------------------
// A non-throwing allocation of exactly g_failSize bytes fails once; freed blocks are recorded
// while g_recordFrees is set.
namespace {
std::atomic<std::size_t> g_failSize{0};
std::atomic<bool> g_recordFrees{false};
std::mutex g_freedMutex;
std::set<void*>* g_freed = nullptr;

void RecordFree(void* block) {
    if (block != nullptr && g_recordFrees.load()) {
        std::lock_guard<std::mutex> lock(g_freedMutex);
        if (g_freed != nullptr) {
            g_freed->insert(block);
        }
    }
}
}  // namespace

// The replacements below pair malloc with free on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    std::size_t expected = size;
    if (size != 0 && g_failSize.compare_exchange_strong(expected, 0)) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept {
    RecordFree(block);
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    RecordFree(block);
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    RecordFree(block);
    std::free(block);
}
#pragma GCC diagnostic pop

namespace {

constexpr wchar_t kChecking[] = L"Quorvel: checking...";

std::wstring Text(HWND window, int id) {
    wchar_t buffer[512] = {};
    GetDlgItemTextW(window, id, buffer, 512);
    return buffer;
}

void Pump(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(5);
    } while (GetTickCount64() < end);
}

ULONG References(QuorvelPropertySheetHandler* handler) {
    handler->AddRef();
    return handler->Release();
}

class PageTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_moduleInstance = GetModuleHandleW(nullptr);
        // The page is a child window: it needs a parent, as the property sheet is.
        parent_ = CreateWindowExW(0, L"STATIC", L"sheet", WS_OVERLAPPEDWINDOW, 0, 0, 500, 400,
                                  nullptr, nullptr, g_moduleInstance, nullptr);
        ASSERT_NE(parent_, nullptr);
        handler_ = new QuorvelPropertySheetHandler();
        handler_->statusText = kStatusCheckingText;
        handler_->resultText = kResultCheckingInitialText;
    }
    void TearDown() override {
        if (window_ != nullptr) {
            DestroyWindow(window_);
        }
        if (parent_ != nullptr) {
            DestroyWindow(parent_);
        }
        ASSERT_NE(handler_, nullptr);
        EXPECT_EQ(handler_->Release(), 0U) << "the page left a reference on the handler";
        EXPECT_EQ(g_objectCount, 0);
    }

    // The page's dialog, created as the property sheet creates it: lParam is the page
    // description, whose lParam is the handler (or no description at all).
    HWND CreatePage(bool withHandler) {
        page_ = {};
        page_.dwSize = sizeof(page_);
        page_.lParam = reinterpret_cast<LPARAM>(handler_);
        window_ = CreateDialogParamW(g_moduleInstance, MAKEINTRESOURCEW(IDD_PROPERTY_PAGE), parent_,
                                     PropertyPageDialogProc,
                                     withHandler ? reinterpret_cast<LPARAM>(&page_) : 0);
        return window_;
    }
    // The dialog procedure's own result (SendMessageW would return DWLP_MSGRESULT for most
    // messages of a dialog, not what the procedure returned).
    INT_PTR Call(UINT message, WPARAM wParam, LPARAM lParam) {
        return PropertyPageDialogProc(window_, message, wParam, lParam);
    }
    PageState* State() { return reinterpret_cast<PageState*>(GetWindowLongPtrW(window_, DWLP_USER)); }

    HWND parent_ = nullptr;
    QuorvelPropertySheetHandler* handler_ = nullptr;
    PROPSHEETPAGEW page_ = {};
    HWND window_ = nullptr;
};

TEST_F(PageTest, WithoutHandlerThePageShowsItsOwnDefaults) {
    ASSERT_NE(CreatePage(false), nullptr);
    EXPECT_EQ(Text(window_, IDC_STATUS), L"Quorvel: unavailable");
    EXPECT_EQ(Text(window_, IDC_DOMAIN), L"(not available)");
    EXPECT_EQ(Text(window_, IDC_DESCRIPTION), L"(not provided)");
    EXPECT_EQ(Text(window_, IDC_RESULTS), L"Checking Quorvel signature...");
    ASSERT_NE(State(), nullptr);
    EXPECT_EQ(State()->request, nullptr) << "no handler, no worker";
    EXPECT_NE(State()->domainFont, nullptr) << "fonts are made all the same";
}

TEST_F(PageTest, FontsOfTheDomainLineAndTheLink) {
    handler_->targetPath = u"Z:\\no\\such\\file.exe";
    ASSERT_NE(CreatePage(true), nullptr);
    PageState* state = State();
    ASSERT_NE(state, nullptr);
    EXPECT_NE(state->fontResource, nullptr) << "the embedded font was registered";

    HDC screen = GetDC(nullptr);
    const int dotsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    struct FontCase {
        const char* name;
        int control;
        HFONT expected;
        const wchar_t* face;
        BYTE underline;
    };
    const FontCase cases[] = {
        {"domain", IDC_DOMAIN, state->domainFont, L"Atkinson Hyperlegible", 0},
        {"link", IDC_LICENSES_LINK, state->linkFont, L"Segoe UI", 1},
    };
    for (const FontCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto font = reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, c.control, WM_GETFONT, 0, 0));
        ASSERT_EQ(font, c.expected);
        LOGFONTW description = {};
        ASSERT_NE(GetObjectW(font, sizeof(description), &description), 0);
        EXPECT_EQ(description.lfHeight, PageFontHeight(dotsPerInch));
        EXPECT_EQ(description.lfWeight, FW_NORMAL);
        EXPECT_EQ(description.lfUnderline, c.underline);
        EXPECT_EQ(description.lfQuality, CLEARTYPE_QUALITY);
        EXPECT_STREQ(description.lfFaceName, c.face);
    }
    // The other controls keep the template's font.
    const auto statusFont = reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, IDC_STATUS, WM_GETFONT, 0, 0));
    EXPECT_NE(statusFont, state->domainFont);
    EXPECT_NE(statusFont, state->linkFont);
}

TEST(PageFontHeightTest, TenPointsAtEveryResolution) {
    const std::pair<int, int> cases[] = {{96, -13}, {144, -20}, {120, -17}, {72, -10}, {192, -27}};
    for (const auto& [dotsPerInch, height] : cases) {
        EXPECT_EQ(PageFontHeight(dotsPerInch), height) << dotsPerInch << " dots per inch";
    }
}

TEST_F(PageTest, OutcomeReplacesTheTextsAndColoursTheStatus) {
    ASSERT_NE(CreatePage(true), nullptr);
    // The empty path still runs the job; let its outcome arrive first.
    Pump(300);

    struct Case {
        const char* name;
        OutcomeKind kind;
        const char16_t* description;
        const wchar_t* shownDescription;
        COLORREF color;
    };
    const Case cases[] = {
        {"verified", OutcomeKind::Verified, u"Build key", L"Build key", RGB(0, 100, 0)},
        {"failed, no description", OutcomeKind::Failed, u"", L"(not provided)", RGB(220, 20, 60)},
        {"neutral", OutcomeKind::Neutral, u"a & b", L"a & b", GetSysColor(COLOR_WINDOWTEXT)},
        {"unknown kind", static_cast<OutcomeKind>(7), u"x", L"x", GetSysColor(COLOR_WINDOWTEXT)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring name = shell_test::FromUtf8(c.name);
        auto* outcome = new VerificationOutcome();
        outcome->statusText =
            u"status of " + std::u16string(reinterpret_cast<const char16_t*>(name.c_str()));
        outcome->resultText = u"result";
        outcome->domainText = u"d.example";
        outcome->descriptionText = c.description;
        outcome->kind = c.kind;
        EXPECT_EQ(Call(WM_VERIFICATION_RESULT, 0, reinterpret_cast<LPARAM>(outcome)),
                  TRUE);
        EXPECT_EQ(Text(window_, IDC_STATUS), L"status of " + name);
        EXPECT_EQ(Text(window_, IDC_DOMAIN), L"d.example");
        EXPECT_EQ(Text(window_, IDC_DESCRIPTION), c.shownDescription);
        EXPECT_EQ(Text(window_, IDC_RESULTS), L"result");

        HDC context = CreateCompatibleDC(nullptr);
        const INT_PTR brush = Call(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                                           reinterpret_cast<LPARAM>(GetDlgItem(window_, IDC_STATUS)));
        EXPECT_EQ(brush, reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW)));
        EXPECT_EQ(GetTextColor(context), c.color);
        EXPECT_EQ(GetBkMode(context), TRANSPARENT);
        DeleteDC(context);
    }
}

TEST_F(PageTest, ControlColoursAndCommandsOutsideTheirControls) {
    ASSERT_NE(CreatePage(false), nullptr);
    HDC context = CreateCompatibleDC(nullptr);
    SetTextColor(context, RGB(1, 2, 3));
    const int others[] = {IDC_DOMAIN, IDC_DESCRIPTION, IDC_RESULTS};
    for (int id : others) {
        EXPECT_EQ(Call(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                               reinterpret_cast<LPARAM>(GetDlgItem(window_, id))),
                  FALSE)
            << "control " << id;
    }
    EXPECT_EQ(GetTextColor(context), RGB(1, 2, 3)) << "other controls keep the default colours";
    // A null control window is refused.
    EXPECT_EQ(Call(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context), 0), FALSE);
    // The link in blue.
    EXPECT_NE(Call(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                           reinterpret_cast<LPARAM>(GetDlgItem(window_, IDC_LICENSES_LINK))),
              FALSE);
    EXPECT_EQ(GetTextColor(context), RGB(0, 102, 204));
    DeleteDC(context);

    // Only a click (STN_CLICKED) on the link opens anything; these are refused at once.
    const WPARAM commands[] = {MAKEWPARAM(IDC_STATUS, STN_CLICKED),
                               MAKEWPARAM(IDC_LICENSES_LINK, STN_DBLCLK),
                               MAKEWPARAM(IDC_LICENSES_LINK + 1, STN_CLICKED)};
    for (WPARAM command : commands) {
        EXPECT_EQ(Call(WM_COMMAND, command, 0), FALSE) << "command " << command;
    }
    // A message the page does not handle.
    EXPECT_EQ(Call(WM_APP + 2, 0, 0), FALSE);
    // An outcome message without outcome.
    EXPECT_EQ(Call(WM_VERIFICATION_RESULT, 0, 0), TRUE);
}

class FreeRecorder {
public:
    FreeRecorder() {
        std::lock_guard<std::mutex> lock(g_freedMutex);
        g_freed = &freed_;
        g_recordFrees.store(true);
    }
    ~FreeRecorder() {
        g_recordFrees.store(false);
        std::lock_guard<std::mutex> lock(g_freedMutex);
        g_freed = nullptr;
    }
    bool WasFreed(void* block) {
        std::lock_guard<std::mutex> lock(g_freedMutex);
        return freed_.count(block) != 0;
    }

private:
    std::set<void*> freed_;
};

TEST_F(PageTest, OutcomesStillQueuedAtDestroyAreFreed) {
    ASSERT_NE(CreatePage(true), nullptr);
    Pump(300);  // the job for the empty path has delivered its own outcome
    FreeRecorder recorder;
    std::vector<VerificationOutcome*> posted;
    for (int i = 0; i < 3; ++i) {
        auto* outcome = new VerificationOutcome();
        outcome->statusText = u"late";
        ASSERT_TRUE(PostMessageW(window_, WM_VERIFICATION_RESULT, 0, reinterpret_cast<LPARAM>(outcome)));
        posted.push_back(outcome);
    }
    DestroyWindow(window_);
    window_ = nullptr;
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_TRUE(recorder.WasFreed(posted[i])) << "queued outcome " << i << " leaked";
    }
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_VERIFICATION_RESULT, WM_VERIFICATION_RESULT, PM_NOREMOVE));
}

TEST_F(PageTest, OutcomeForACancelledRequestIsFreedUnread) {
    handler_->targetPath = u"Z:\\no\\such\\file.exe";
    ASSERT_NE(CreatePage(true), nullptr);
    PageState* state = State();
    ASSERT_NE(state, nullptr);
    ASSERT_NE(state->request, nullptr);
    state->request->cancelled.exchange(1);

    FreeRecorder recorder;
    auto* outcome = new VerificationOutcome();
    outcome->statusText = u"should not show";
    outcome->kind = OutcomeKind::Verified;
    EXPECT_EQ(Call(WM_VERIFICATION_RESULT, 0, reinterpret_cast<LPARAM>(outcome)), TRUE);
    EXPECT_TRUE(recorder.WasFreed(outcome));
    EXPECT_EQ(Text(window_, IDC_STATUS), kChecking);
    EXPECT_EQ(state->statusKind, OutcomeKind::Neutral);
    // The worker itself sees the flag too and posts nothing.
    Pump(500);
    EXPECT_EQ(Text(window_, IDC_STATUS), kChecking);
}

TEST_F(PageTest, PageStateThatCannotBeAllocated) {
    const ULONG before = References(handler_);
    g_failSize.store(sizeof(PageState));
    ASSERT_NE(CreatePage(true), nullptr);
    g_failSize.store(0);
    EXPECT_EQ(State(), nullptr);
    // The template's texts stay; the handler gained no reference that nobody would give back.
    EXPECT_EQ(Text(window_, IDC_STATUS), L"");
    EXPECT_EQ(Text(window_, IDC_LICENSES_LINK), L"Third Party Licenses");
    EXPECT_EQ(References(handler_), before);
    // Messages find no state and only free what they carry.
    FreeRecorder recorder;
    auto* outcome = new VerificationOutcome();
    outcome->statusText = u"x";
    EXPECT_EQ(Call(WM_VERIFICATION_RESULT, 0, reinterpret_cast<LPARAM>(outcome)), TRUE);
    EXPECT_TRUE(recorder.WasFreed(outcome));
    EXPECT_EQ(Text(window_, IDC_STATUS), L"");
}

// Waits (bounded) until every request of the process has been freed.
bool AllRequestsFreed(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (LiveVerificationRequestsForTesting() != 0 && GetTickCount64() < end) {
        Pump(20);
    }
    return LiveVerificationRequestsForTesting() == 0;
}

TEST_F(PageTest, RequestIsFreedOnceWhicheverSideLetsGoLast) {
    handler_->targetPath = u"Z:\\no\\such\\file.exe";
    struct Case {
        const char* name;
        bool workerFirst;  // let the worker deliver before the page closes
    };
    const Case cases[] = {{"page closes first", false}, {"worker finishes first", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(AllRequestsFreed(5000)) << "a request from before is still alive";
        ASSERT_NE(CreatePage(true), nullptr);
        ASSERT_NE(State()->request, nullptr);
        EXPECT_EQ(LiveVerificationRequestsForTesting(), 1U);
        if (c.workerFirst) {
            const ULONGLONG end = GetTickCount64() + 5000;
            while (Text(window_, IDC_STATUS) == kChecking && GetTickCount64() < end) {
                Pump(20);
            }
            EXPECT_EQ(Text(window_, IDC_STATUS), L"Quorvel: unable to read file");
        }
        DestroyWindow(window_);
        window_ = nullptr;
        // A second release of the same request would wrap the count below zero.
        EXPECT_TRUE(AllRequestsFreed(5000)) << LiveVerificationRequestsForTesting() << " alive";
    }
}

TEST_F(PageTest, WorkerThatCannotStartLeavesThePageChecking) {
    handler_->targetPath = u"Z:\\no\\such\\file.exe";
    RefuseWorkerThreadStartForTesting(true);
    HWND page = CreatePage(true);
    RefuseWorkerThreadStartForTesting(false);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(State()->request, nullptr);
    Pump(300);
    EXPECT_EQ(Text(window_, IDC_STATUS), kChecking);
    EXPECT_EQ(Text(window_, IDC_RESULTS), L"Checking Quorvel signature...");
    EXPECT_EQ(Text(window_, IDC_DESCRIPTION), L"(not provided)");
    EXPECT_TRUE(AllRequestsFreed(1000));
}

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(g_lockCount, 0);
        ASSERT_EQ(g_objectCount, 0);
    }
    void TearDown() override {
        g_failSize.store(0);
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
};

TEST_F(ModuleTest, FactoryAllocationFailure) {
    void* const untouched = reinterpret_cast<void*>(static_cast<uintptr_t>(0x77));
    void* out = untouched;
    g_failSize.store(sizeof(QuorvelClassFactory));
    EXPECT_EQ(DllGetClassObject(shell_test::kClassId, IID_IClassFactory, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(g_lockCount, 0);
}

TEST_F(ModuleTest, HandlerAllocationFailure) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(shell_test::kClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    void* const untouched = reinterpret_cast<void*>(static_cast<uintptr_t>(0x77));
    void* out = untouched;
    g_failSize.store(sizeof(QuorvelPropertySheetHandler));
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IShellExtInit, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(g_objectCount, 0);
    factory->Release();
}

TEST(HResultFromWin32Test, PositiveCodesAreWrappedAndOthersPass) {
    const std::pair<long, HRESULT> cases[] = {
        {0, S_OK},
        {5, static_cast<HRESULT>(0x80070005)},
        {122, static_cast<HRESULT>(0x8007007A)},
        {0xFFFF, static_cast<HRESULT>(0x8007FFFF)},
        {0x10005, static_cast<HRESULT>(0x80070005)},  // only the low 16 bits are kept
        {-1, static_cast<HRESULT>(-1)},
        {static_cast<long>(0x80004005), static_cast<HRESULT>(0x80004005)},
    };
    for (const auto& [code, expected] : cases) {
        EXPECT_EQ(HResultFromWin32(code), expected) << "code " << code;
    }
}

TEST(NoticeBlocksTest, BlocksAreTheLicenceFilesWithTheirHeadings) {
    const std::vector<std::string> expected = page_host::ExpectedNoticeBlocks();
    ASSERT_EQ(expected.size(), 5U) << "QUORVEL_SHELL_NOTICE_SOURCES not readable";
    for (int i = 0; i < kNoticeBlockCount; ++i) {
        EXPECT_TRUE(NoticeBlock(i) == expected[static_cast<size_t>(i)]) << "block " << i + 1;
        EXPECT_EQ(NoticeBlock(i).find('\r'), std::string_view::npos) << "block " << i + 1;
        EXPECT_EQ(NoticeBlock(i).front(), '\n') << "block " << i + 1;
        EXPECT_EQ(NoticeBlock(i).back(), '\n') << "block " << i + 1;
    }
    // Just outside the table on either side: nothing.
    EXPECT_TRUE(NoticeBlock(-1).empty());
    EXPECT_TRUE(NoticeBlock(kNoticeBlockCount).empty());

    const std::u16string text = BuildThirdPartyNotices();
    page_host::ExpectNoticeText(std::wstring(AsWide(text), text.size()), expected);
}

}  // namespace
