// The resampler against Pillow's Image.resize, measured in the same run on the same
// pixels: best of several runs each, Pillow timed inside /usr/bin/python3 (interpreter
// start-up excluded). The two are measured in alternating rounds so that both see the
// same load on a shared machine. Prints milliseconds and the ratio Pillow / Quillet.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "imaging/resample.h"

namespace {

using namespace quillet;

struct Case {
    const char* name;
    int srcWidth, srcHeight, dstWidth, dstHeight;
    TFilterKind filter;
    const char* pillowFilter;
};

const Case kCases[] = {
    {"3000x2000 -> 160x120 box", 3000, 2000, 160, 120, fkBox, "BOX"},
    {"640x480 -> 160x120 box", 640, 480, 160, 120, fkBox, "BOX"},
    {"640x480 -> 1280x960 lanczos3", 640, 480, 1280, 960, fkLanczos3, "LANCZOS"},
};

constexpr int kRuns = 10;
constexpr int kRounds = 3;

std::vector<uint8_t> Pixels(int width, int height)
{
    std::mt19937 random(42);
    std::vector<uint8_t> out(size_t(3) * width * height);
    for (auto& b : out) b = uint8_t(random());
    return out;
}

double QuilletMs(const Case& c, const std::vector<uint8_t>& pixels, bool vectorized)
{
    SetResampleVectorized(vectorized);
    TBitmap source;
    source.SetPixelFormat(TPixelFormat::pf24bit);
    source.SetSize(c.srcWidth, c.srcHeight);
    for (int y = 0; y < c.srcHeight; ++y)
        std::memcpy(source.ScanLine(y), &pixels[size_t(3) * c.srcWidth * y], size_t(3) * c.srcWidth);
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        TBitmap target;
        const auto start = std::chrono::steady_clock::now();
        ResampleBitmap(c.dstWidth, c.dstHeight, c.filter, 0.0f, source, target);
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    SetResampleVectorized(true);
    return best;
}

// Pillow reads the same bytes (blue, green, red rows) from a file and resizes them kRuns
// times; the script prints its best time in milliseconds. Returns a negative value when
// Pillow is not available.
double PillowMs(const Case& c, const std::vector<uint8_t>& pixels)
{
    char path[] = "/tmp/quillet-resample-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    FILE* file = fdopen(fd, "wb");
    std::fwrite(pixels.data(), 1, pixels.size(), file);
    std::fclose(file);
    const std::string script =
        "import sys, time\n"
        "from PIL import Image\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "image = Image.frombytes('RGB', (int(sys.argv[2]), int(sys.argv[3])), data, 'raw', 'BGR')\n"
        "size = (int(sys.argv[4]), int(sys.argv[5]))\n"
        "flt = getattr(Image.Resampling, sys.argv[6])\n"
        "best = 1e30\n"
        "for _ in range(int(sys.argv[7])):\n"
        "    t = time.perf_counter(); image.resize(size, flt); best = min(best, time.perf_counter() - t)\n"
        "print(best * 1000)\n";
    const std::string command = "/usr/bin/python3 -c \"" + script + "\" " + path + " " +
                                std::to_string(c.srcWidth) + " " + std::to_string(c.srcHeight) + " " +
                                std::to_string(c.dstWidth) + " " + std::to_string(c.dstHeight) + " " +
                                c.pillowFilter + " " + std::to_string(kRuns) + " 2>/dev/null";
    double ms = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        if (std::fscanf(pipe, "%lf", &ms) != 1) ms = -1;
        pclose(pipe);
    }
    std::remove(path);
    return ms;
}

}  // namespace

int main()
{
    std::printf("%-32s %12s %12s %12s %10s %10s\n", "case", "quillet ms", "portable ms", "pillow ms", "ratio",
                "portable");
    for (const Case& c : kCases) {
        const auto pixels = Pixels(c.srcWidth, c.srcHeight);
        double pillow = -1, fast = 1e30, portable = 1e30;
        for (int round = 0; round < kRounds; ++round) {
            const double p = PillowMs(c, pixels);
            if (p > 0) pillow = pillow < 0 ? p : std::min(pillow, p);
            fast = std::min(fast, QuilletMs(c, pixels, true));
            portable = std::min(portable, QuilletMs(c, pixels, false));
        }
        if (pillow > 0) {
            std::printf("%-32s %12.3f %12.3f %12.3f %10.2f %10.2f\n", c.name, fast, portable, pillow, pillow / fast,
                        pillow / portable);
            bench::PrintRatio(std::string("resample ") + c.name, "Pillow", pillow / fast, bench::AtLeast(2.0));
        } else
            std::printf("%-32s %12.3f %12.3f %12s %10s %10s\n", c.name, fast, portable, "n/a", "n/a", "n/a");
    }
    std::printf("ratio = Pillow time / Quillet time (goal >= 2.0); portable = the loops without AVX2\n");
    return 0;
}
