// Runs a fuzz target over files, as libFuzzer replays them, in builds without libFuzzer: every
// argument is a file or a directory of files (a missing directory holds none). Each file is named
// before it runs, so the one that fails is the last one printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const auto& entry : fs::recursive_directory_iterator(argv[i])) {
                if (entry.is_regular_file())
                    files.push_back(entry.path().string());
            }
        } else if (fs::exists(argv[i])) {
            files.push_back(argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "replay: no input files\n");
        return 1;
    }
    for (const auto& file : files) {
        fprintf(stderr, "replay: %s\n", file.c_str());
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        // As libFuzzer does, an empty input still comes at an address.
        static const uint8_t none = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    }
    fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
    return 0;
}
