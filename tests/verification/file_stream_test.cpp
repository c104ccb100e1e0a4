// Opening a file for the signature library never waits, and only a regular file is read: the
// page and quorvel-verify must not hang on a named pipe (as `find` lists them) or a device.
#include "verification/file_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

TEST(FileStream, OnlyRegularFilesAreOpenedAndNothingWaits) {
    const fs::path dir =
        fs::temp_directory_path() / ("quorvel-stream-" + std::to_string(std::random_device{}()));
    fs::create_directory(dir);
    std::ofstream(dir / "file.exe") << "MZ";
    struct Row {
        const char* name;
        fs::path path;
        bool opened;
    };
    std::vector<Row> rows = {{"regular file", dir / "file.exe", true}, {"directory", dir, false}};
#ifdef _WIN32
    rows.push_back({"device", "NUL", false});
#else
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    rows.push_back({"named pipe without a writer", dir / "pipe", false});
    rows.push_back({"character device", "/dev/null", false});
    alarm(20);  // an open that waits kills this process rather than hanging it
#endif
    for (const Row& row : rows) {
        void* stream = OpenFileStream(row.path.u16string());
        EXPECT_EQ(stream != nullptr, row.opened) << row.name;
        if (stream != nullptr) {
            char byte = 0;
            EXPECT_EQ(FileStreamIo()->read(&byte, 1, 1, stream), 1U) << row.name;
            EXPECT_EQ(byte, 'M') << row.name;
            FileStreamIo()->close(stream);
        }
    }
#ifndef _WIN32
    alarm(0);
#endif
    fs::remove_all(dir);
}

}  // namespace
