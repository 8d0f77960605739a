#include "tests/support/files.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/files.h"

namespace quillet::test {

namespace fs = std::filesystem;

std::string CorpusDir()
{
    if (const char* env = std::getenv("QUILLET_CORPUS"); env != nullptr && fs::is_directory(env)) return env;
    const fs::path beside = fs::path(QUILLET_SOURCE_DIR) / ".." / "shared" / "corpus";
    std::error_code error;
    if (fs::is_directory(beside, error)) return fs::canonical(beside, error).string();
    return {};
}

std::vector<std::string> CorpusFiles(const std::string& subfolder)
{
    std::vector<std::string> files;
    const std::string root = CorpusDir();
    if (root.empty()) return files;
    const fs::path folder = fs::path(root) / subfolder;
    std::error_code error;
    if (!fs::is_directory(folder, error)) return files;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

TempDir::TempDir() : FPath(CreatePrivateFolder(TempFolder())) {}

TempDir::~TempDir() { RemoveTree(FPath); }

}  // namespace quillet::test
