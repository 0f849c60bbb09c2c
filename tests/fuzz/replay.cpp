// Runs a fuzz target once on each file named and each file of each directory named, for the builds
// without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i)
        if (!std::filesystem::is_directory(argv[i]))
            inputs.emplace_back(argv[i]);
        else
            for (const auto &e : std::filesystem::directory_iterator(argv[i]))
                inputs.push_back(e.path());
    for (const auto &path : inputs) {
        // The file's bytes exactly, so a read past the input shows.
        std::vector<char> data(std::filesystem::file_size(path));
        std::ifstream(path, std::ios::binary).read(data.data(), data.size());
        fprintf(stderr, "%s\n", path.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    return inputs.empty();
}
