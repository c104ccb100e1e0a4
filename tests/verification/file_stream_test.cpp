// Opening a file for the signature library never waits, and only a regular file is read: the
// page and quorvel-verify must not hang on a named pipe (as `find` lists them) or a device.
// (Regular files are opened by every test of the job.)
#include "verification/file_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

TEST(FileStream, AnythingButARegularFileIsRefusedWithoutWaiting) {
    const fs::path dir =
        fs::temp_directory_path() / ("quorvel-stream-" + std::to_string(std::random_device{}()));
    fs::create_directory(dir);
    std::vector<fs::path> refused = {dir};
#ifdef _WIN32
    refused.emplace_back("NUL");
#else
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    refused.insert(refused.end(), {dir / "pipe", "/dev/null"});
    alarm(20);  // an open that waits kills this process rather than hanging it
#endif
    for (const fs::path& path : refused) {
        EXPECT_EQ(OpenFileStream(path.u16string()), nullptr) << path;
    }
#ifndef _WIN32
    alarm(0);
#endif
    fs::remove_all(dir);
}

}  // namespace
