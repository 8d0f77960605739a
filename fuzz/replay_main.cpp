// Replays fuzz inputs without libFuzzer: every file named on the command line, and every
// file below every folder named there, goes through LLVMFuzzerTestOneInput once. The
// normal and sanitizer builds run the seeds this way under ctest.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Inputs are capped as in the fuzzing runs.
constexpr size_t kMaxInput = 1 << 20;

bool Replay(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > kMaxInput) data.resize(kMaxInput);
    // An exact-size copy, so that a read one byte past the input is caught by ASan.
    std::vector<uint8_t> exact(data.begin(), data.end());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    size_t count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code error;
        if (fs::is_directory(arg, error)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::recursive_directory_iterator(arg, error))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& f : files) ok = Replay(f) && ok, ++count;
        } else if (fs::exists(arg, error)) {
            ok = Replay(arg) && ok;
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return ok ? 0 : 1;
}
