// The command line's reader on real files: the property page's verdicts and records, and no
// wait on anything that is not a regular file.
#include "verification/single_pass_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "job_fixtures.h"
#include "verification/whole_file_reader.h"

namespace {

using quorvel_test::Bytes;

template <typename Record>
bool Same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string Write(const job_test::TempDir& dir, const std::string& name, const Bytes& bytes) {
    const std::string path = dir.File(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(SinglePassReader, ReadsFilesAsTheWholeFileReaderDoes) {
    const job_test::TempDir dir;
    const quorvel_test::TestKey key = quorvel_test::KeyFromSeedByte(0x51);
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"signed", job_test::SignedPe(key, "single.example")},
        {"tampered", job_test::Tampered(job_test::SignedPe(key, "single.example"))},
        {"malformed", job_test::PeWithMalformedPayload("single.example")},
    };
    Bytes32 publicKey{};
    std::memcpy(publicKey.data(), key.public_key.data(), publicKey.size());
    for (const auto& [name, bytes] : files) {
        const std::u16string path = job_test::U16(Write(dir, name, bytes));
        SinglePassReader single;
        WholeFileReader whole;
        quorvel_signature_info singleInfo{}, wholeInfo{};
        EXPECT_EQ(single.ReadInfo(path, singleInfo), whole.ReadInfo(path, wholeInfo)) << name;
        EXPECT_TRUE(Same(singleInfo, wholeInfo)) << name;
        quorvel_verify_result singleResult{}, wholeResult{};
        EXPECT_EQ(single.Verify(path, publicKey, singleResult),
                  whole.Verify(path, publicKey, wholeResult))
            << name;
        EXPECT_TRUE(Same(singleResult, wholeResult)) << name;
    }
}

TEST(SinglePassReader, RefusesWhatIsNotARegularFileWithoutWaiting) {
    const job_test::TempDir dir;
    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer: opening it to read would wait
    for (const std::string& path : {fifo, dir.path(), dir.File("missing")}) {
        SinglePassReader reader;
        quorvel_signature_info info{};
        quorvel_verify_result result{};
        EXPECT_EQ(reader.ReadInfo(job_test::U16(path), info), QUORVEL_ERR_READ) << path;
        EXPECT_EQ(reader.Verify(job_test::U16(path), Bytes32{}, result), QUORVEL_ERR_READ) << path;
    }
}

}  // namespace
