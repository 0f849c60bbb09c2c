// Runs a fuzz target once on each file named and each file of each directory named, for the builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i)
        if (fs::is_directory(argv[i]))
            inputs.insert(inputs.end(), fs::directory_iterator(argv[i]), fs::directory_iterator());
        else
            inputs.emplace_back(argv[i]);
    for (const auto &path : inputs) {
        std::vector<char> data(fs::file_size(path)); // the file's bytes exactly, so a read past the input shows
        std::ifstream(path, std::ios::binary).read(data.data(), data.size());
        fprintf(stderr, "%s\n", path.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    return inputs.empty();
}
