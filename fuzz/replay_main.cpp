// Feeds inputs to a fuzz target without libFuzzer, so that the seed corpus
// runs as an ordinary test in every build:
//
//   replay_TARGET PATH...   each PATH a file, or a folder whose files are fed
//                           in name order
//
// A crash, a sanitizer report or a broken property ends it as it would end
// libFuzzer; otherwise it says how many inputs it fed. A folder that holds
// no input is an error, so a lost corpus cannot pass as a clean run.

#include "fuzzcheck.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path &file)
{
    // Said first, so that a finding's report follows the input's name.
    std::printf("%s\n", file.c_str());
    std::fflush(stdout);
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A copy of its own, so that a read past the end shows under ASan.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    int fed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i], error)) {
            for (const fs::directory_entry &entry : fs::directory_iterator(argv[i], error))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            if (files.empty()) {
                std::fprintf(stderr, "no inputs in %s\n", argv[i]);
                return 1;
            }
        } else {
            files.push_back(argv[i]);
        }
        for (const fs::path &file : files) {
            if (!replay(file))
                return 1;
            ++fed;
        }
    }
    std::printf("%d inputs replayed without a finding\n", fed);
    return 0;
}
