// Replays the fuzzer's committed seeds through its model with the regular build, so that the
// unit run checks what the seeds reach: every file of the directory given is one input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* bytes, std::size_t size);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    int nInputs = 0;
    for (auto const& entry : std::filesystem::directory_iterator(argv[1])) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> const bytes{std::istreambuf_iterator<char>(file), {}};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size()); // aborts on a broken promise
        ++nInputs;
    }
    std::printf("replayed %d inputs\n", nInputs);
    return nInputs > 0 ? 0 : 1;
}
