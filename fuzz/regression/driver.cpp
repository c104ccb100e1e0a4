// Replays inputs through a fuzz target's LLVMFuzzerTestOneInput without libFuzzer: each
// argument is a directory whose files (recursively, in name order) are fed one by one; absent
// directories are skipped. A property violation traps; at least one input must have run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i])) continue;
        for (const auto& entry : fs::recursive_directory_iterator(argv[i])) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
        static const uint8_t kEmpty = 0;
        std::printf("running %s (%zu bytes)\n", path.string().c_str(), bytes.size());
        std::fflush(stdout);
        (void)LLVMFuzzerTestOneInput(
            bytes.empty() ? &kEmpty : reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs ran\n", files.size());
    return files.empty() ? 1 : 0;
}
