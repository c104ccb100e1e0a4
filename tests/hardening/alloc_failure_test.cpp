// Allocation failures, one at a time: a file is read clean, counting allocations, then once per
// allocation with exactly that one failing (alloc_injector.h; OpenSSL's hooks are set in main).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "alloc_injector.h"
#include "job_fixtures.h"
#include "quorvel/quorvel.h"
#include "quorvel/quorvel_sign.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/der.h"
#include "verification/single_pass_reader.h"

namespace {

using quorvel_test::Bytes;

const quorvel_test::TestKey kKey = quorvel_test::KeyFromSeedByte(0x33);

struct LibraryOutcome {
    int status;
    quorvel_signature_info info;
    quorvel_verify_result result;
};

// The library's two ways through a real file, as the verification job takes them: the page's
// one scan with the digest, kept for the verdict, or the command line's scan and a second one
// with the digest. The readers' own path conversions may throw bad_alloc; the C library never
// does.
bool RunLibrary(const std::u16string& path, bool scan, LibraryOutcome& o) {
    std::memset(&o, 0xA5, sizeof o);
    SinglePassReader page(nullptr);
    SinglePassReader single;
    SignatureReader& reader = scan ? static_cast<SignatureReader&>(single) : page;
    Bytes32 publicKey{};
    std::memcpy(publicKey.data(), kKey.public_key.data(), publicKey.size());
    try {
        o.status = reader.ReadInfo(path, o.info);
        if (o.status == QUORVEL_OK) o.status = reader.Verify(path, publicKey, o.result);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

template <typename Record>
bool AllZero(const Record& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return std::all_of(bytes, bytes + sizeof record, [](unsigned char b) { return b == 0; });
}

// Memory running out anywhere is a read error or changes nothing: never an entry silently
// passed over. A read error zeroes the record of the stage that failed (the info, or the
// result after a complete info). Returns the number of allocations of the clean run.
long Walk(const std::string& name, const std::u16string& path, bool scan) {
    LibraryOutcome clean;
    EXPECT_TRUE(RunLibrary(path, scan, clean)) << name;
    long total = 0;
    for (long failAt = 0; failAt <= total; ++failAt) {  // 0: the clean run, which counts them
        SCOPED_TRACE(name + ", allocation " + std::to_string(failAt));
        alloc_injector::Arm(failAt);
        LibraryOutcome o;
        const bool returned = RunLibrary(path, scan, o);
        alloc_injector::armed = false;
        if (failAt == 0) total = alloc_injector::calls;
        EXPECT_EQ(alloc_injector::failures, failAt == 0 ? 0 : 1);
        EXPECT_EQ(alloc_injector::liveBlocks, 0u) << "blocks not released";
        if (!returned) continue;
        if (o.status == QUORVEL_ERR_READ) {
            EXPECT_TRUE(AllZero(o.info) || (std::memcmp(&o.info, &clean.info, sizeof o.info) == 0 &&
                                            AllZero(o.result)));
        } else {
            EXPECT_EQ(std::memcmp(&o, &clean, sizeof o), 0);
        }
    }
    return total;
}

TEST(AllocationFailure, SignatureLibrary) {
    const Bytes image = quorvel_test::MakeUnsignedPe(quorvel_test::SignedPeOptions{});
    const Bytes payload = quorvel_test::MakeSignedPayload(
        kKey, quorvel_test::ReferenceImageDigest(image), "alloc.example");
    quorvel_test::SignerSpec signer;
    signer.unauthenticated.push_back(
        {quorvel_test::kQuorvelPayloadOid, {quorvel_test::DerOctetString(payload)}});
    const Bytes entry = quorvel_test::MakeQuorvelEntry(payload);
    const Bytes authenticode =
        quorvel_test::MakeAuthenticodeEntry(quorvel_test::MakeSignedData({signer}));
    const struct {
        const char* name;
        Bytes file;
        long decoderAllocations;  // at least: the decoder's failure points are reached
    } files[] = {
        {"Quorvel entry", quorvel_test::AppendCertificateTable(image, entry), 0},
        // Two payloads: the decoder's failure must not hide the second one.
        {"Quorvel entry and Authenticode payload",
         quorvel_test::AppendCertificateTable(image, quorvel_test::Concat({entry, authenticode})),
         10},
    };
    const job_test::TempDir dir;
    for (const auto& [name, file, decoderAllocations] : files) {
        quorvel_test::WriteFile(dir.File(name), file);
        for (const bool scan : {false, true}) {
            const std::string where = std::string(name) + (scan ? ", two scans" : ", one scan");
            EXPECT_GT(Walk(where, job_test::U16(dir.File(name)), scan), decoderAllocations)
                << where;
        }
    }
}

#ifdef QUORVEL_VERIFY_SWEEP
// The whole programs with one allocation failing at a time: their builds with the injector
// (alloc_injector.h), each run a fresh process that goes through OpenSSL's and libcurl's set-up
// itself, in its own copy of the working folder, two at a time. Every allocation of the
// project's code and of libcurl fails once; of OpenSSL's thousands (most of them its set-up) the
// first four of each stretch (each entry into it) and every stride-th: the strides stay below
// 49, the width of the window in which a failure once left OpenSSL's set-up half made.

std::string Text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> Folder(const std::string& dir) {  // file name, content
    std::map<std::string, std::string> folder;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        folder[entry.path().filename()] = Text(entry.path());
    }
    return folder;
}

struct ProgramRun {
    int code = 0;                  // the exit status; 128 + N: ended by signal N
    std::string out, err, report;  // report: "CALLS FAILURES LIVEBLOCKS\n", then the sources
    long calls = 0, failures = 0, live = -1;
    std::map<std::string, std::string> folder = {};  // afterwards
};

ProgramRun RunProgram(const std::string& command, const std::string& dir, long failAt) {
    std::filesystem::remove(dir + ".report");
    const int status =
        std::system(("cd '" + dir + "' && QUORVEL_FAIL_ALLOCATION=" + std::to_string(failAt) +
                     " QUORVEL_ALLOC_REPORT='" + dir + ".report' timeout 120 " + command + " >'" +
                     dir + ".out' 2>'" + dir + ".err'")
                        .c_str());
    ProgramRun run{WIFEXITED(status) ? WEXITSTATUS(status) : 255, Text(dir + ".out"),
                   Text(dir + ".err"), Text(dir + ".report")};
    std::sscanf(run.report.c_str(), "%ld %ld %ld", &run.calls, &run.failures, &run.live);
    run.folder = Folder(dir);
    return run;
}

// What is wrong with run, judged by the clean run and the folder before; empty when nothing.
std::string Fault(const ProgramRun& run, const ProgramRun& clean,
                  const std::map<std::string, std::string>& before) {
    if (run.code > 2 || run.live < 0 || run.err.find("Sanitizer") != std::string::npos ||
        run.err.find("runtime error") != std::string::npos ||
        std::count(run.err.begin(), run.err.end(), '\n') > 1) {
        return "crash, sanitizer report, exit status above 2 or more than one line on stderr";
    }
    if (run.live > clean.live) return "blocks not released";
    if (run.code == 0 && (clean.code != 0 || run.folder != clean.folder || run.out != clean.out)) {
        return "exit status 0 unlike the clean run";
    }
    if (run.code != 0 && run.folder != before) return "folder changed, exit status not 0";
    std::istringstream lines(run.out);  // stops at a line verified unlike the clean run
    std::string line;
    while (std::getline(lines, line) && (line.find("Quorvel: verified") == std::string::npos ||
                                         clean.out.find(line + "\n") != std::string::npos)) {
    }
    return lines ? "verified unlike the clean run" : "";
}

// Runs command (a program built with the injector, and its arguments) in dir, clean and then
// failing; returns the clean run's output.
std::string Sweep(const std::string& command, const std::string& dir, std::size_t stride) {
    const job_test::TempDir work;
    const auto copy = [&](std::size_t slot) {
        const std::string copied = work.File(std::to_string(slot));
        std::filesystem::remove_all(copied);
        std::filesystem::copy(dir, copied);
        return copied;
    };
    const ProgramRun clean = RunProgram(command, copy(0), 0);
    EXPECT_TRUE(clean.code <= 2 && clean.live >= 0) << command << "\n" << clean.err;
    const std::string sources = clean.report.substr(clean.report.find('\n') + 1);
    std::vector<long> points;
    for (std::size_t i = 0, stretch = 0; i < sources.size(); ++i) {
        stretch = i > 0 && sources[i] == sources[i - 1] ? stretch + 1 : 0;
        if (sources[i] != alloc_injector::kOpenSsl || stretch < 4 || (i + 1) % stride == 0) {
            points.push_back(static_cast<long>(i + 1));
        }
    }
    const std::map<std::string, std::string> before = Folder(dir);
    std::atomic<long> unreached{0};
    const auto failEach = [&](std::size_t slot) {
        for (std::size_t i = slot; i < points.size(); i += 2) {
            const ProgramRun run = RunProgram(command, copy(slot), points[i]);
            unreached += run.failures == 0;
            EXPECT_EQ(Fault(run, clean, before), "") << command << ": allocation " << points[i]
                                                     << " of " << clean.calls << "\n--- stdout:\n"
                                                     << run.out << "--- stderr:\n"
                                                     << run.err;
        }
    };
    std::thread other(failEach, 1U);
    failEach(0U);
    other.join();
    std::printf("%s\n  %ld allocations, %zu failed one at a time, %ld of them not reached\n",
                command.c_str(), clean.calls, points.size(), unreached.load());
    return clean.out;
}

TEST(AllocationFailure, WholePrograms) {
    const keyserver::Client server = job_test::OpenKeyServer();
    const std::string domain = server.Domain(keyserver::Listener::Trusted);
    const quorvel_test::TestKey key = job_test::UniqueKey("alloc");
    const quorvel_test::TestKey revoked = quorvel_test::KeyFromSeedByte(0x34);
    keyserver::Route route;
    route.body = job_test::KeyDocument(key, "active", "Key");
    std::string error;
    ASSERT_TRUE(server.PutRoute(job_test::KeyPath(key), route, &error)) << error;
    const Bytes image = job_test::UnsignedPe();
    Bytes tampered = job_test::SignedPe(key, domain);
    tampered[0x200] ^= 1;  // in the first section
    const Bytes payload =
        quorvel_test::MakeSignedPayload(key, quorvel_test::ReferenceImageDigest(image), domain);
    const Bytes entry = quorvel_test::MakeQuorvelEntry(payload);
    const Bytes authenticode = quorvel_test::MakeAuthenticodeEntry(
        quorvel_test::MakeSignedData({quorvel_test::SignerSpec{{quorvel_test::AttributeSpec{
            quorvel_test::kQuorvelPayloadOid, {quorvel_test::DerOctetString(payload)}}}}}));
    char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
    ASSERT_EQ(quorvel_sign_private_key_to_pem(key.seed.data(), pem), QUORVEL_SIGN_OK);
    const job_test::TempDir dir;
    for (const auto& [name, bytes] : std::initializer_list<std::pair<const char*, Bytes>>{
             {"good.exe", job_test::SignedPe(key, domain)},
             {"tampered.exe", tampered},
             {"revoked.exe", job_test::SignedPe(revoked, domain)},
             {"entry-first.exe", quorvel_test::AppendCertificateTable(
                                     image, quorvel_test::Concat({entry, authenticode}))},
             {"authenticode-first.exe", quorvel_test::AppendCertificateTable(
                                            image, quorvel_test::Concat({authenticode, entry}))},
             {"key.json", quorvel_test::FromText(route.body)},
             {"revoked.json",
              quorvel_test::FromText(job_test::KeyDocument(revoked, "revoked", nullptr))},
             {"key.pem", Bytes(pem, pem + sizeof pem)},
             {"app.exe",
              quorvel_test::AppendCertificateTable(
                  image, quorvel_test::MakeAuthenticodeEntry(
                             quorvel_test::MakeSignedData({quorvel_test::SignerSpec{}})))}}) {
        quorvel_test::WriteFile(dir.File(name), bytes);
    }
    // The clean runs: in both, only good.exe (the first file) verifies.
    const std::string verify = "'" QUORVEL_VERIFY_SWEEP "' --json --jobs 1 ";
    const std::string verified = R"({"file":"good.exe","kind":"verified")";
    for (const std::string& out :
         {Sweep(verify + "--offline --key-document " + domain + "=key.json --key-document " +
                    domain +
                    "=revoked.json good.exe tampered.exe revoked.exe entry-first.exe "
                    "authenticode-first.exe",
                dir.path, 41),
          Sweep(verify + "--ca-file '" + server.CaFile() + "' good.exe tampered.exe", dir.path,
                43)}) {
        EXPECT_EQ(out.rfind(verified, 0), 0U) << out;
        EXPECT_EQ(out.find(R"("kind":"verified")", verified.size()), std::string::npos) << out;
    }
    EXPECT_EQ(Sweep("'" QUORVEL_SIGN_SWEEP "' sign --key key.pem --domain " + domain +
                        " --authenticode -o s.exe app.exe",
                    dir.path, 47)
                  .rfind("s.exe: signed for", 0),
              0U);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    // Before anything makes OpenSSL allocate: its hooks can be set only while it has not.
    if (!alloc_injector::InstallOpenSslHooks()) {
        std::fprintf(stderr, "OpenSSL allocated before main; its allocations cannot be reached\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
