// Jobs side by side against misbehaving key servers: each file's job must end in its own row's
// outcome whatever the others do at the same time (under TSan, without a race).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "job_fixtures.h"
#include "verification/verification_job.h"

namespace {

using keyserver::Listener;

TEST(Concurrency, ParallelJobsAgainstHostileServersEachGetTheirOwnOutcome) {
    keyserver::Client server = job_test::OpenKeyServer();
    job_test::TempDir dir;
    const std::string domain = server.Domain(Listener::Trusted);
    struct Row {
        const char* name;
        std::string routeJson;  // empty: nothing served (404)
        std::u16string status;  // the status line's beginning
    };
    const std::string keep = R"("chunk_sizes": [64], "body": )";
    const Row rows[] = {
        {"good, in 64-byte writes", keep, u"Quorvel: verified"},
        {"nothing served", "", u"Quorvel: key fetch failed (HTTP 404)"},
        {"reset mid-body", R"("reset_after_bytes": 40, "body": )", u"Quorvel: key fetch failed ("},
        {"endless body", R"("chunked": true, "endless": true, "chunk_sizes": [2048], "body": )",
         u"Quorvel: key fetch failed (Vantor response exceeded the maximum allowed size)"},
    };
    std::vector<std::u16string> files;
    for (const Row& row : rows) {
        const quorvel_test::TestKey key = job_test::UniqueKey("parallel");
        const quorvel_test::Bytes image = job_test::SignedPe(key, domain);
        const std::string path = dir.File(std::to_string(files.size()) + ".exe");
        quorvel_test::WriteFile(path, image);
        files.push_back(job_test::U16(path));
        std::string body = job_test::KeyDocument(key, "active", nullptr);
        body.resize(4096, ' ');  // white space after the root: an endless body repeats it
        std::string quoted = "\"";
        for (const char c : body) {
            quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        }
        std::string error;
        if (!row.routeJson.empty()) {
            ASSERT_TRUE(server.PutRouteJson(job_test::KeyPath(key),
                                            "{" + row.routeJson + quoted + "\"}", &error))
                << error;
        }
    }
    const std::string ca = server.CaFile();
    constexpr std::size_t kThreads = 4;
    constexpr std::size_t kRunsPerThread = 6;
    std::vector<std::u16string> seen(kThreads * kRunsPerThread);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            FetchOptions options;
            options.extraCaFile = ca.c_str();
            for (std::size_t i = 0; i < kRunsPerThread; ++i) {
                const std::size_t run = t * kRunsPerThread + i;
                seen[run] =
                    RunVerification(files[(t + i) % files.size()], nullptr, &options).statusText;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (std::size_t run = 0; run < seen.size(); ++run) {
        const Row& row = rows[(run / kRunsPerThread + run % kRunsPerThread) % files.size()];
        EXPECT_EQ(seen[run].rfind(row.status, 0), 0u)
            << row.name << ": " << testing::PrintToString(seen[run]);
    }
}

}  // namespace
