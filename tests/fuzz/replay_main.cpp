// Replays a fuzz target's corpus without libFuzzer, so that every build (g++,
// plain or under a sanitizer) re-checks every input that ever found a fault.
// Usage: <target>_replay DIR|FILE...  Fails when an argument holds no input.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"

// Targets that need one-time set-up define it; the others leave it null.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& argument)
{
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end()); // the same order on every run
    } else if (std::filesystem::is_regular_file(argument)) {
        inputs.push_back(argument);
    }
    return inputs;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR|FILE...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::filesystem::path> inputs = InputsOf(argv[i]);
        if (inputs.empty()) {
            fprintf(stderr, "%s: no inputs\n", argv[i]);
            return 1;
        }
        for (const auto& input : inputs) {
            std::ifstream file(input, std::ios::binary);
            const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), {}};
            if (!file.eof() && file.fail()) {
                fprintf(stderr, "%s: cannot read\n", input.c_str());
                return 1;
            }
            // A copy of exactly the input's size, as libFuzzer hands it, so
            // that a read past its end is caught by the address sanitizer.
            std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size()]);
            std::copy(bytes.begin(), bytes.end(), exact.get());
            LLVMFuzzerTestOneInput(exact.get(), bytes.size());
        }
        printf("%s: %zu inputs replayed\n", argv[i], inputs.size());
    }
    return 0;
}
