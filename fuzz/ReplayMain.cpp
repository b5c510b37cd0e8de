// Replays fuzz inputs without libFuzzer: every file named on the command
// line, and every regular file in each directory named (in name order), goes
// once to LLVMFuzzerTestOneInput. Lets ctest run the seed corpus and any
// saved crash in an ordinary build, under the sanitizers when they are on.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path p(argv[i]);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            std::vector<fs::path> inDir;
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file()) inDir.push_back(e.path());
            std::sort(inDir.begin(), inDir.end());
            files.insert(files.end(), inDir.begin(), inDir.end());
        } else if (fs::is_regular_file(p, ec)) {
            files.push_back(p);
        } else {
            fprintf(stderr, "no such input: %s\n", argv[i]);
            return 2;
        }
    }
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Exactly as many bytes as the input, so that a read past its end
        // is caught by the address sanitizer.
        std::unique_ptr<uint8_t[]> buf(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), buf.get());
        printf("%s (%zu bytes)\n", f.string().c_str(), bytes.size());
        fflush(stdout);
        LLVMFuzzerTestOneInput(buf.get(), bytes.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
