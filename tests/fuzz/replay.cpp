// Runs a fuzz target once over each file named, or each file in each
// directory named, without the fuzzer: the corpus and every input that once
// found a fault become an ordinary test. Fails when it found nothing to run,
// so a lost corpus cannot pass.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz.h"

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i]))
            std::copy(fs::directory_iterator(argv[i]), fs::directory_iterator(), std::back_inserter(inputs));
        else
            inputs.push_back(argv[i]);
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &p : inputs) {
        std::ifstream file(p, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", p.c_str());
            return 1;
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        std::fprintf(stderr, "%s\n", p.c_str());
        // libFuzzer never passes a null pointer, not even for no bytes.
        static const uint8_t none = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "%zu inputs run\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
