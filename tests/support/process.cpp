#include "tests/support/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "platform/bitmap.h"
#include "platform/files.h"
#include "tests/support/files.h"

extern char** environ;

namespace quillet::test {

std::string RunResult::LastErrLine() const
{
    std::string text = Err;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t from = 0;
    while (from <= folders.size()) {
        const size_t colon = std::min(folders.find(':', from), folders.size());
        const std::string candidate = folders.substr(from, colon - from) + "/" + name;
        if (colon > from && access(candidate.c_str(), X_OK) == 0) return candidate;
        from = colon + 1;
    }
    return {};
}

RunResult Run(const std::vector<std::string>& argv)
{
    // Output goes to files in a private folder: no pipe can fill up while we wait.
    const TempDir dir;
    const std::string outPath = dir / "stdout", errPath = dir / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    RunResult result;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
    const std::vector<uint8_t> out = ReadFile(outPath), err = ReadFile(errPath);
    result.Out.assign(out.begin(), out.end());
    result.Err.assign(err.begin(), err.end());
    return result;
}

PnmImage ParsePnm(const std::vector<uint8_t>& data)
{
    size_t p = 0;
    auto token = [&] {
        while (p < data.size() && (isspace(data[p]) || data[p] == '#')) {
            if (data[p] == '#')
                while (p < data.size() && data[p] != '\n') ++p;
            else ++p;
        }
        std::string t;
        while (p < data.size() && !isspace(data[p])) t += char(data[p++]);
        return t;
    };
    const std::string magic = token();
    PnmImage image;
    image.Channels = magic == "P5" ? 1 : magic == "P6" ? 3 : 0;
    image.Width = std::atoi(token().c_str());
    image.Height = std::atoi(token().c_str());
    const int max = std::atoi(token().c_str());
    ++p;  // the one white-space byte before the pixels
    const size_t size = size_t(image.Width) * size_t(image.Height) * size_t(image.Channels);
    if (image.Channels == 0 || max != 255 || image.Width <= 0 || image.Height <= 0 || data.size() < p + size)
        throw std::runtime_error("not a P5 or P6 file with 8-bit samples");
    image.Pixels.assign(data.begin() + long(p), data.begin() + long(p + size));
    return image;
}

std::vector<uint8_t> PnmSamples(const TBitmap& bitmap, int channels)
{
    TPaletteEntry table[256];
    bitmap.ColorTable(table);
    const bool indexed = bitmap.PixelFormat() == TPixelFormat::pf8bit;
    std::vector<uint8_t> out;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) {
            const TPaletteEntry& e = table[p[x]];
            const uint8_t rgb[3] = {indexed ? e.peRed : p[3 * x + 2], indexed ? e.peGreen : p[3 * x + 1],
                                    indexed ? e.peBlue : p[3 * x]};
            out.insert(out.end(), rgb, rgb + channels);
        }
    }
    return out;
}

}  // namespace quillet::test
