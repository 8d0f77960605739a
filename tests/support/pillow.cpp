#include "tests/support/pillow.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace quillet::test {

namespace {

std::vector<std::optional<TReferenceImage>> Run(const std::vector<std::string>& paths, const char* kind)
{
    std::vector<std::optional<TReferenceImage>> images(paths.size());
    std::string command = "/usr/bin/python3 '" QUILLET_SOURCE_DIR "/tests/support/pillow_reference.py' ";
    command += kind;
    for (const std::string& path : paths) {
        if (path.find('\'') != std::string::npos) return images;
        command += " '" + path + "'";
    }
    command += " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return images;
    const size_t channels = std::strcmp(kind, "rgb") == 0 ? 3 : 1;
    for (auto& image : images) {
        char line[64];
        if (std::fgets(line, sizeof line, pipe.get()) == nullptr) break;
        TReferenceImage decoded;
        if (std::sscanf(line, "%d %d", &decoded.Width, &decoded.Height) != 2) continue;
        decoded.Pixels.resize(size_t(decoded.Width) * size_t(decoded.Height) * channels);
        if (std::fread(decoded.Pixels.data(), 1, decoded.Pixels.size(), pipe.get()) != decoded.Pixels.size()) break;
        image = std::move(decoded);
    }
    return images;
}

}  // namespace

std::vector<std::optional<TReferenceImage>> PillowIndices(const std::vector<std::string>& paths)
{
    return Run(paths, "indices");
}

std::vector<std::optional<TReferenceImage>> PillowRGB(const std::vector<std::string>& paths)
{
    return Run(paths, "rgb");
}

}  // namespace quillet::test
