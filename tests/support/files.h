// Test helpers for files: the shared image corpus, temporary folders, whole-file I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test {

/// The shared corpus folder ($QUILLET_CORPUS, else ../shared/corpus beside the source
/// tree), or empty when it is absent. Tests that need it skip with a message then.
std::string CorpusDir();
/// The corpus files below a sub-folder ("bmp", "hostile/gif"), sorted; empty if absent.
std::vector<std::string> CorpusFiles(const std::string& subfolder);

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);

/// A private folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

}  // namespace quillet::test

#define QUILLET_REQUIRE_CORPUS()                                                 \
    do {                                                                         \
        if (::quillet::test::CorpusDir().empty())                                \
            GTEST_SKIP() << "image corpus not found (set QUILLET_CORPUS)";       \
    } while (0)
