// Decoding binary pixmaps (P6) from memory: Quillet against stb_image and Pillow, on a
// 3000 x 2000 and a 640 x 480 picture. Prints the median time of each and the ratios
// peer time / Quillet time (above 1 means Quillet is faster). Times are the CPU time of
// the decoding thread, which other work on a shared machine does not inflate.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/report.h"
#include "imaging/readers/ppm.h"
#include "platform/files.h"
#include "platform/stream.h"

#if QUILLET_HAVE_STB
#include <stb/stb_image.h>
#endif

namespace {

using quillet::TMemoryViewStream;
using quillet::TPPMGraphic;

// A photograph-like P6 picture: smooth gradients with some noise.
std::vector<uint8_t> MakePixmap(int width, int height)
{
    const std::string header = "P6\n# bench\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> data(header.begin(), header.end());
    data.reserve(data.size() + size_t(width) * size_t(height) * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const int n = int((noise >> 16) & 15);
            data.push_back(uint8_t((x * 255 / width + n) & 255));
            data.push_back(uint8_t((y * 255 / height + n) & 255));
            data.push_back(uint8_t(((x + y) * 255 / (width + height)) ^ n));
        }
    return data;
}

double ThreadMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Median milliseconds of each piece of work over repeated rounds, after one warm-up
// round; the pieces take turns within a round, so that a busy machine slows all alike.
std::vector<double> MedianMs(int runs, const std::vector<std::function<void()>>& work)
{
    std::vector<std::vector<double>> times(work.size());
    for (int round = -1; round < runs; ++round)
        for (size_t i = 0; i < work.size(); ++i) {
            const double start = ThreadMs();
            work[i]();
            const double ms = ThreadMs() - start;
            if (round >= 0) times[i].push_back(ms);
        }
    std::vector<double> medians;
    for (auto& t : times) {
        std::sort(t.begin(), t.end());
        medians.push_back(t[t.size() / 2]);
    }
    return medians;
}

// Pillow in /usr/bin/python3: the median of its own timed loop, interpreter start-up
// excluded. Negative when Python or Pillow is missing.
double PillowMs(const std::string& file, int runs)
{
    const std::string script =
        "import io, sys, time\n"
        "from PIL import Image\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "runs = int(sys.argv[2])\n"
        "Image.open(io.BytesIO(data)).load()\n"
        "times = []\n"
        "for _ in range(runs):\n"
        "    t = time.thread_time()\n"
        "    Image.open(io.BytesIO(data)).load()\n"
        "    times.append(time.thread_time() - t)\n"
        "times.sort()\n"
        "print(times[len(times) // 2] * 1000)\n";
    const std::string command = "/usr/bin/python3 -c \"$QUILLET_BENCH_SCRIPT\" '" + file + "' " + std::to_string(runs) + " 2>/dev/null";
    setenv("QUILLET_BENCH_SCRIPT", script.c_str(), 1);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    double ms = -1;
    if (std::fscanf(pipe, "%lf", &ms) != 1) ms = -1;
    return pclose(pipe) == 0 ? ms : -1;
}

void Report(const std::string& measurement, const char* peer, double peerMs, double quilletMs)
{
    if (peerMs < 0) {
        std::printf("  %-10s (not available)\n", peer);
        return;
    }
    std::printf("  %-10s %9.3f ms   ratio %.2f\n", peer, peerMs, peerMs / quilletMs);
    quillet::bench::PrintRatio(measurement, peer, peerMs / quilletMs);
}

void Run(int width, int height, int runs, const std::string& folder)
{
    const std::vector<uint8_t> data = MakePixmap(width, height);
    std::printf("P6 %d x %d (%zu bytes)\n", width, height, data.size());

    std::vector<std::function<void()>> work = {[&] {
        TPPMGraphic image;
        TMemoryViewStream stream(data.data(), data.size());
        image.ReadImage(stream);
        if (image.Width() != width) std::abort();
    }};
#if QUILLET_HAVE_STB
    work.push_back([&] {
        int w = 0, h = 0, n = 0;
        stbi_uc* pixels = stbi_load_from_memory(data.data(), int(data.size()), &w, &h, &n, 0);
        if (pixels == nullptr || w != width) std::abort();
        stbi_image_free(pixels);
    });
#endif
    const std::vector<double> ms = MedianMs(runs, work);
    const double quillet = ms[0];
    std::printf("  %-10s %9.3f ms\n", "Quillet", quillet);
    const std::string measurement = "decode P6 " + std::to_string(width) + "x" + std::to_string(height);
    Report(measurement, "stb_image", ms.size() > 1 ? ms[1] : -1, quillet);

    const std::string file = folder + "/bench.ppm";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    Report(measurement, "Pillow", PillowMs(file, runs), quillet);
}

}  // namespace

int main()
{
    const std::string folder = quillet::CreatePrivateFolder(quillet::TempFolder());
    Run(3000, 2000, 31, folder);
    Run(640, 480, 201, folder);
    quillet::RemoveTree(folder);
    return 0;
}
