// The verification job end to end, one row per outcome (the texts are the outcome table's), with
// real files and the loopback HTTPS key server; then the worker thread: one delivery per job, the
// request freed once by whoever lets go last, the failures to start. ASan and TSan watch here.
#include "verification/verification_job.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <tuple>

#include "job_fixtures.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/der.h"
#include "verification/fetching_key_lookup.h"
#include "verification/outcome_texts.h"
#include "verification/random_access_file.h"
#include "verification/single_pass_reader.h"
#include "verification/verification_worker.h"
#include "worker_seams.h"

namespace {

using job_test::KeyDocument;
using job_test::SignedPe;
using job_test::U16;
using keyserver::Listener;
using quorvel_test::TestKey;
using Setter = std::function<void(VerificationOutcome&)>;

constexpr auto kWait = std::chrono::seconds(20);

Setter Case(OutcomeCase c) {
    return [c](VerificationOutcome& o) { SetOutcomeCase(o, c); };
}

// The outcome a run must produce: the domain and description known by then, then the case.
void ExpectOutcome(const VerificationOutcome& got, const Setter& set, const std::u16string& domain,
                   const std::u16string& description, const char* name) {
    VerificationOutcome w{u"", u"", domain, description, OutcomeKind::Neutral};
    set(w);
    EXPECT_EQ(
        std::tie(got.statusText, got.resultText, got.domainText, got.descriptionText, got.kind),
        std::tie(w.statusText, w.resultText, w.domainText, w.descriptionText, w.kind))
        << name;
}

class VerificationJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options_.extraCaFile = caFile_.c_str();
        ASSERT_TRUE(
            job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    }
    void TearDown() override { RefuseWorkerThreadStartForTesting(false); }
    std::u16string Write(const quorvel_test::Bytes& bytes, const std::string& name = "") {
        const std::string path =
            dir_.File(name.empty() ? "file-" + std::to_string(++files_) + ".exe" : name);
        quorvel_test::WriteFile(path, bytes);
        return U16(path);
    }
    void Publish(const TestKey& key, const std::string& body, int status = 200) {
        keyserver::Route route;
        route.body = body;
        route.status = status;
        std::string error;
        EXPECT_TRUE(server_.PutRoute(job_test::KeyPath(key), route, &error)) << error;
    }

    keyserver::Client server_ = job_test::OpenKeyServer();
    std::string caFile_ = server_.CaFile();
    std::string domain_ = server_.Domain(Listener::Trusted);
    FetchOptions options_;
    job_test::TempDir dir_;
    int files_ = 0;
};

TEST_F(VerificationJobTest, OneRunPerOutcome) {
    using enum OutcomeCase;
    const std::string closed = server_.Domain(Listener::Closed);
    const std::u16string here = U16(domain_);
    const struct {
        const char* name;
        Setter expected;
        std::u16string domain, description;
        std::function<std::u16string(const TestKey&)> file;  // publishes what the row needs
    } rows[] = {
        // clang-format off
        {"no file", Case(NoFileSelected), u"", u"", [](const TestKey&) { return std::u16string(); }},
        {"missing file", Case(FileUnreadable), u"", u"", [&](const TestKey&) { return U16(dir_.File("missing")); }},
        // sysfs reports 4096 bytes and delivers a few: the read ends early.
        {"shorter than its size", Case(FileUnreadable), u"", u"", [](const TestKey&) { return std::u16string(u"/sys/devices/system/cpu/online"); }},
        {"text file", Case(NotPeFile), u"", u"", [&](const TestKey&) { return Write(quorvel_test::FromText("text\n")); }},
        {"unsigned PE", Case(NoSignature), u"", u"", [&](const TestKey&) { return Write(job_test::UnsignedPe()); }},
        {"empty domain", Case(MetadataIncomplete), u"", u"", [&](const TestKey& key) { return Write(SignedPe(key, "")); }},
        {"domain with user info", Case(UnfetchableDomain), U16("a@" + domain_), u"", [&](const TestKey& key) { return Write(SignedPe(key, "a@" + domain_)); }},
        {"nothing listens", [](VerificationOutcome& o) { SetFetchFailed(o, ""); }, U16(closed), u"", [&](const TestKey& key) { return Write(SignedPe(key, closed)); }},
        {"HTTP 201", [](VerificationOutcome& o) { SetUnexpectedHttpStatus(o, 201); }, here, u"",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "active", "ignored"), 201), Write(SignedPe(key, domain_)); }},
        {"kid mismatch", [](VerificationOutcome& o) { SetKeyResponseInvalid(o, "kid mismatch"); }, here, u"",
         [&](const TestKey& key) { return Publish(key, KeyDocument(key, "active", "d", "other")), Write(SignedPe(key, domain_)); }},
        {"verified", Case(Verified), here, u"Schl\u00fcssel", [&](const TestKey& key) {
             return Publish(key, KeyDocument(key, "active", "Schl\xc3\xbcssel")), Write(SignedPe(key, domain_), "sign\xc3\xa9-\xf0\x9f\x94\x91.exe"); }},
        {"revoked", Case(Revoked), here, u"Old key", [&](const TestKey& key) { return Publish(key, KeyDocument(key, "revoked", "Old key")), Write(SignedPe(key, domain_)); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        const std::u16string path = row.file(job_test::UniqueKey("job"));
        VerificationOutcome got = RunVerification(path, nullptr, &options_);
        // Where nothing listens, the rest of the status line is libcurl's.
        if (std::string(row.name) == "nothing listens")
            got.statusText = got.statusText.substr(0, 27) + u")";
        ExpectOutcome(got, row.expected, row.domain, row.description, row.name);
        EXPECT_EQ(ReadDomainPreview(path), row.domain.empty() ? kDomainNotAvailable : row.domain)
            << row.name;
    }

    // After the reading, cancellation counts only after a failed fetch, and empties everything.
    const std::atomic<std::uint8_t> cancelled{1}, notCancelled{0};
    const TestKey key = job_test::UniqueKey("cancel");
    const std::u16string failing = Write(SignedPe(key, server_.Domain(Listener::Closed)));
    SinglePassReader reader;
    FetchingKeyLookup keys(&options_);
    ExpectOutcome(RunVerification(failing, reader, keys, {}, &cancelled),
                  Case(OutcomeCase::Cancelled), u"", u"", "cancelled");
    EXPECT_EQ(RunVerification(failing, reader, keys, {}, &notCancelled).kind, OutcomeKind::Failed);
    Publish(key, KeyDocument(key, "active", nullptr));
    EXPECT_EQ(RunVerification(Write(SignedPe(key, domain_)), reader, keys, {}, &cancelled).kind,
              OutcomeKind::Verified);
}

// Records what it is given; a page that refuses leaves the outcome to the worker to free.
struct TestPage : OutcomeReceiver {
    explicit TestPage(bool accept = true) : OutcomeReceiver{&Receive}, accepts(accept) {}
    static bool Receive(OutcomeReceiver* self, VerificationOutcome* outcome) {
        auto* page = static_cast<TestPage*>(self);
        page->kind.store(outcome->kind);
        page->deliveries.fetch_add(1);
        if (page->accepts) delete outcome;
        return page->accepts;
    }
    bool accepts;
    std::atomic<int> deliveries{0};
    std::atomic<OutcomeKind> kind{OutcomeKind::Verified};
};

// A page that refuses its outcome, one that takes it, and none (no page window): one delivery
// where a page waits for it, and the request freed by the page, the last to let go.
TEST_F(VerificationJobTest, WorkerDeliversOnceAndTheLastToLetGoFrees) {
    TestPage refusing(false), taking;
    TestPage* const pages[] = {&refusing, &taking, nullptr};
    const std::u16string inputs[] = {Write(quorvel_test::FromText("text")), u"", u""};
    VerificationRequest* requests[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        StartVerificationWorker(pages[i], &requests[i], inputs[i]);
        ASSERT_NE(requests[i], nullptr) << "worker " << i;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(job_test::WaitUntil([&] { return requests[i]->refCount.load() == 1; }, kWait))
            << i;
        EXPECT_EQ(requests[i]->cancelled.load(), 0) << "worker " << i;
        if (pages[i] != nullptr) {
            EXPECT_EQ(pages[i]->deliveries.load(), 1) << "worker " << i;
            EXPECT_EQ(pages[i]->kind.load(), i == 0 ? OutcomeKind::Failed : OutcomeKind::Neutral)
                << "worker " << i;
        }
        requests[i]->cancelled.exchange(1);  // the page closes
        ReleaseVerificationRequest(requests[i]);
    }
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);

    // No slot, or no thread: nothing starts, the page's request is null again, nothing leaks.
    StartVerificationWorker(&taking, nullptr, u"anything");
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    ReleaseVerificationRequest(nullptr);
    RefuseWorkerThreadStartForTesting(true);
    VerificationRequest* refused = nullptr;
    StartVerificationWorker(&taking, &refused, u"");
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(LiveVerificationRequestsForTesting(), 0u);
    EXPECT_EQ(taking.deliveries.load(), 1);
}

// The pieces the file seam reads; with closeAtThird, the page of request closes at the third.
struct Pieces {
    static inline std::size_t count = 0;
    static inline std::uint64_t bytes = 0;
    static inline bool closeAtThird = false;
    static inline VerificationRequest* request = nullptr;
    static void Observe(std::uint64_t, std::size_t n) {
        bytes += n;
        if (++count == 3 && closeAtThird) {
            request->cancelled.exchange(1);
            ReleaseVerificationRequest(request);
        }
    }
    Pieces() { count = 0, bytes = 0, ObserveFileReadsForTesting(&Observe); }
    ~Pieces() { ObserveFileReadsForTesting(nullptr), closeAtThird = false; }
};

constexpr std::uint64_t kLarge = std::uint64_t{256} << 20, kLimit = QUORVEL_SCAN_TABLE_LIMIT_BYTES;
const quorvel_test::Bytes kPayload = quorvel_test::MakePayload(
    quorvel_test::PatternSignature(1), quorvel_test::PatternKeyId(1), "page.example");

// The preview reads the first 4 KiB and the table (not a table above the limit) and decodes at
// most two signatures; the job reads each byte once, in bounded memory, and its verdict judges
// the kept scan without reading. A page closed while its worker reads: the read stops before
// the next piece, nothing is posted, and the worker, the last to let go, frees the request.
TEST_F(VerificationJobTest, PageReadsDoNotGrowWithTheFileAndStopWhenClosed) {
    using namespace quorvel_test;
    const Bytes entry = MakeQuorvelEntry(kPayload), undecodable = MakeAuthenticodeEntry({0x30});
    const Bytes signature = MakeAuthenticodeEntry(
        MakeSignedData({{{{kQuorvelPayloadOid, {DerOctetString(kPayload)}}}}}));
    const auto padded = [&](std::uint32_t size) {
        return Concat({entry, MakeWinCertificate(0x0100, 1, Bytes(size - 384))});
    };
    const struct {
        Bytes table;
        bool shown;
    } rows[] = {{entry, true},
                {Concat({signature, undecodable}), true},
                {Concat({undecodable, signature, undecodable}), false},
                {padded(kLimit), true},
                {padded(kLimit + 8), false}};
    for (const auto& [table, shown] : rows) {
        for (const std::uint64_t size : {kLarge >> 10, kLarge}) {
            const Pieces pieces;
            EXPECT_EQ(ReadDomainPreview(job_test::WriteLargePe(dir_.File("p.exe"), size, table)),
                      shown ? u"page.example" : kDomainNotAvailable)
                << table.size() << " in " << size;
            EXPECT_EQ(Pieces::bytes, 4096 + (table.size() <= kLimit ? table.size() : 0))
                << table.size() << " in " << size;
        }
    }

    const std::u16string path = job_test::WriteLargePe(dir_.File("large.exe"), kLarge, entry);
    SinglePassReader reader(nullptr);
    quorvel_signature_info info{};
    const Pieces pieces;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    ASSERT_EQ(reader.ReadInfo(path, info), QUORVEL_OK);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 << 10) << "growth of the peak, in KiB";
    // Each byte once: the digest leaves out only bytes of the first 4 KiB and of the table.
    EXPECT_EQ(Pieces::bytes, kLarge);
    const std::size_t pieces_read = Pieces::count;
    quorvel_verify_result result{};
    EXPECT_EQ(reader.Verify(u"", Bytes32{}, result), QUORVEL_ERR_SIGNATURE_INVALID);
    EXPECT_EQ(Pieces::count, pieces_read) << "the verdict reads nothing";

    TestPage page;
    Pieces::count = 0, Pieces::closeAtThird = true;
    StartVerificationWorker(&page, &Pieces::request, path);
    EXPECT_TRUE(
        job_test::WaitUntil([] { return LiveVerificationRequestsForTesting() == 0; }, kWait));
    EXPECT_EQ(Pieces::count, 3u);
    EXPECT_EQ(page.deliveries.load(), 0);
}

}  // namespace
