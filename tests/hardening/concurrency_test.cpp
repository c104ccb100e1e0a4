// Jobs side by side against misbehaving key servers: each file's job must end in its own row's
// outcome whatever the others do at the same time (under TSan, without a race).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "job_fixtures.h"
#include "verification/verification_job.h"

namespace {

TEST(Concurrency, ParallelJobsAgainstHostileServersEachGetTheirOwnOutcome) {
    keyserver::Client server = job_test::OpenKeyServer();
    job_test::TempDir dir;
    struct Row {
        const char* name;
        std::u16string status;  // the status line's beginning
        int httpStatus;
        std::size_t bodySize;  // the key document, then white space up to the size
        bool endless;          // the body again and again until the client leaves
        long long resetAfterBytes;
    };
    // clang-format off
    const Row rows[] = {
        {"good", u"Quorvel: verified", 200, 4096, false, -1},
        {"nothing served", u"Quorvel: key fetch failed (HTTP 404)", 404, 0, false, -1},
        {"reset mid-body", u"Quorvel: key fetch failed (", 200, 4096, false, 40},
        {"endless body", u"Quorvel: key fetch failed (Vantor response exceeded the maximum allowed size)", 200, 4096, true, -1},
    };
    // clang-format on
    std::vector<std::u16string> files;
    for (const Row& row : rows) {
        const quorvel_test::TestKey key = job_test::UniqueKey("parallel");
        const std::string path = dir.File(std::to_string(files.size()) + ".exe");
        quorvel_test::WriteFile(
            path, job_test::SignedPe(key, server.Domain(keyserver::Listener::Trusted)));
        files.push_back(job_test::U16(path));
        keyserver::Route route;
        route.status = row.httpStatus;
        route.body = job_test::KeyDocument(key, "active", nullptr);
        route.body.resize(row.bodySize, ' ');
        route.endless = row.endless;
        route.resetAfterBytes = row.resetAfterBytes;
        std::string error;
        ASSERT_TRUE(server.PutRoute(job_test::KeyPath(key), route, &error)) << error;
    }
    const std::string ca = server.CaFile();
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {  // four threads, six runs each, starting one row apart
        threads.emplace_back([&, t] {
            FetchOptions options;
            options.extraCaFile = ca.c_str();
            for (std::size_t i = t; i < t + 6; ++i) {
                const Row& row = rows[i % files.size()];
                const std::u16string status =
                    RunVerification(files[i % files.size()], nullptr, &options).statusText;
                EXPECT_EQ(status.rfind(row.status, 0), 0u)
                    << row.name << ": " << testing::PrintToString(status);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
