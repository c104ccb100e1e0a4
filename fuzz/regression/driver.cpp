// Replays inputs through a fuzz target's LLVMFuzzerTestOneInput without libFuzzer: every
// argument is a file or a directory whose files (recursively, in name order) are fed one by
// one. A property violation stops the program with a trap. Absent directories are skipped;
// at least one input must have run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool Feed(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    static const uint8_t kEmpty = 0;
    const auto* data =
        bytes.empty() ? &kEmpty : reinterpret_cast<const uint8_t*>(bytes.data());
    std::printf("running %s (%zu bytes)\n", path.string().c_str(), bytes.size());
    std::fflush(stdout);
    (void)LLVMFuzzerTestOneInput(data, bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t ran = 0;
    bool readable = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path argument = argv[i];
        std::error_code error;
        if (fs::is_regular_file(argument, error)) {
            readable = Feed(argument) && readable;
            ++ran;
            continue;
        }
        if (!fs::is_directory(argument, error)) {
            std::printf("skipped %s (absent)\n", argument.string().c_str());
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(argument)) {
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.') {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            readable = Feed(file) && readable;
            ++ran;
        }
    }
    std::printf("%zu inputs ran\n", ran);
    return ran > 0 && readable ? 0 : 1;
}
