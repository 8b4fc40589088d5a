// standalone.cpp - replays fuzz inputs without libFuzzer.
//
// Feeds every file named on the command line, and every file inside every
// folder named there (in name order), to LLVMFuzzerTestOneInput, so the
// corpora run as plain tests with any compiler. Exits 0 when every input
// ran; a crash or a broken invariant aborts the process as it would under
// the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

std::vector<std::string> inputs_of(const std::filesystem::path &path) {
    std::vector<std::string> out;
    if (std::filesystem::is_directory(path)) {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(path))
            if (entry.is_regular_file()) out.push_back(entry.path().string());
        std::sort(out.begin(), out.end());
    } else {
        out.push_back(path.string());
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int ran = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::exists(argv[i])) {
            std::fprintf(stderr, "standalone: no such input: %s\n", argv[i]);
            return 2;
        }
        for (const std::string &file : inputs_of(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "standalone: %s (%zu bytes)\n", file.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++ran;
        }
    }
    std::printf("standalone: %d inputs ran\n", ran);
    return ran > 0 ? 0 : 2;
}
