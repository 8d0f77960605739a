// Decoding Targa (uncompressed and run-length, 24-bit) and PCX (run-length, 24-bit planes
// and 256 colours) from memory: Quillet against stb_image (Targa only; it reads no PCX) and
// Pillow, on a 3000 x 2000 and a 640 x 480 photograph-like picture. Prints the median CPU
// time of each and the ratio peer time / Quillet time (above 1: Quillet is faster).
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/report.h"
#include "codecs/ImageCodecs.h"
#include "imaging/readers/pcx.h"
#include "imaging/readers/targa.h"
#include "platform/files.h"
#include "platform/stream.h"

#if QUILLET_HAVE_STB
#include <stb/stb_image.h>
#endif

namespace {

using namespace quillet;

// Red, green, blue rows of a photograph-like picture: a sky of smooth gradients above a
// ground of gradients with noise.
std::vector<uint8_t> MakePhoto(int width, int height)
{
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t(width) * size_t(height) * 3);
    uint32_t noise = 2024;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const int n = y < height / 4 ? 0 : int((noise >> 16) % 13) - 6;
            auto clamp = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
            rgb.push_back(clamp(60 + x * 160 / width + n));
            rgb.push_back(clamp(90 + y * 120 / height + n));
            rgb.push_back(clamp(200 - (x + y) * 150 / (width + height) + n));
        }
    return rgb;
}

std::vector<uint8_t> TargaHeader(uint8_t type, int width, int height)
{
    return {0, 0, type, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(width), uint8_t(width >> 8), uint8_t(height),
            uint8_t(height >> 8), 24, 0};
}

// Bottom row first, as most writers store Targa files.
std::vector<uint8_t> MakeTarga(const std::vector<uint8_t>& rgb, int width, int height, bool packed)
{
    std::vector<uint8_t> file = TargaHeader(packed ? 10 : 2, width, height);
    std::vector<uint8_t> row(size_t(width) * 3), coded(row.size() * 2);
    for (int y = height - 1; y >= 0; --y) {
        const uint8_t* src = rgb.data() + size_t(y) * row.size();
        for (int x = 0; x < width; ++x) {
            row[3 * x] = src[3 * x + 2];
            row[3 * x + 1] = src[3 * x + 1];
            row[3 * x + 2] = src[3 * x];
        }
        if (packed) {
            const int32_t n = EncodeTargaRLE(row.data(), coded.data(), width, 3);
            file.insert(file.end(), coded.begin(), coded.begin() + n);
        } else {
            file.insert(file.end(), row.begin(), row.end());
        }
    }
    return file;
}

void PackPcxLine(const uint8_t* line, size_t n, std::vector<uint8_t>& out)
{
    for (size_t i = 0; i < n;) {
        size_t run = 1;
        while (i + run < n && run < 63 && line[i + run] == line[i]) ++run;
        if (run > 1 || line[i] >= 0xC0) out.push_back(uint8_t(0xC0 | run));
        out.push_back(line[i]);
        i += run;
    }
}

// Run-length PCX: three planes of 8 bits, or 256 colours (a 6 x 6 x 6 cube) with the
// trailing palette.
std::vector<uint8_t> MakePcx(const std::vector<uint8_t>& rgb, int width, int height, bool planes)
{
    const size_t bytesPerLine = size_t(width + 1) & ~size_t(1);
    std::vector<uint8_t> file(128, 0);
    file[0] = 10, file[1] = 5, file[2] = 1, file[3] = 8;
    file[8] = uint8_t(width - 1), file[9] = uint8_t((width - 1) >> 8);
    file[10] = uint8_t(height - 1), file[11] = uint8_t((height - 1) >> 8);
    file[65] = planes ? 3 : 1;
    file[66] = uint8_t(bytesPerLine), file[67] = uint8_t(bytesPerLine >> 8);
    file[68] = 1;
    std::vector<uint8_t> line(bytesPerLine, 0);
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = rgb.data() + size_t(y) * size_t(width) * 3;
        if (planes) {
            for (int c = 0; c < 3; ++c) {
                for (int x = 0; x < width; ++x) line[x] = src[3 * x + c];
                PackPcxLine(line.data(), bytesPerLine, file);
            }
        } else {
            for (int x = 0; x < width; ++x)
                line[x] = uint8_t(src[3 * x] / 43 * 36 + src[3 * x + 1] / 43 * 6 + src[3 * x + 2] / 43);
            PackPcxLine(line.data(), bytesPerLine, file);
        }
    }
    if (!planes) {
        file.push_back(12);
        for (int i = 0; i < 256; ++i) {
            file.push_back(uint8_t(i / 36 * 51));
            file.push_back(uint8_t(i / 6 % 6 * 51));
            file.push_back(uint8_t(i % 6 * 51));
        }
    }
    return file;
}

// The CPU time this thread has used, in milliseconds: on a machine shared with other work
// it counts what the decoding itself costs, not the time spent waiting for a core.
double ThreadMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Median milliseconds of each piece of work over repeated rounds after one warm-up round;
// the pieces take turns within a round.
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

// Pillow in /usr/bin/python3, timed in its own loop (interpreter start-up excluded) by the
// same CPU-time clock: the median of opening and loading the file from memory. Negative
// when it cannot run.
double PillowMs(const std::string& file, int runs)
{
    static const char kScript[] =
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
    setenv("QUILLET_BENCH_SCRIPT", kScript, 1);
    const std::string command =
        "/usr/bin/python3 -c \"$QUILLET_BENCH_SCRIPT\" '" + file + "' " + std::to_string(runs) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    double ms = -1;
    if (std::fscanf(pipe, "%lf", &ms) != 1) ms = -1;
    return pclose(pipe) == 0 ? ms : -1;
}

std::string Cell(double peerMs, double quilletMs)
{
    if (peerMs < 0) return "          -            ";
    char text[64];
    std::snprintf(text, sizeof text, "%9.2f ms  x%5.2f", peerMs, peerMs / quilletMs);
    return text;
}

// Quillet's median and stb_image's (negative where it has no reader), timed in turns.
template <class Reader>
std::pair<double, double> QuilletAndStbMs(const std::vector<uint8_t>& file, int width, int runs, bool stb)
{
    std::vector<std::function<void()>> work = {[&] {
        Reader image;
        TMemoryViewStream stream(file.data(), file.size());
        image.ReadImage(stream);
        if (image.Width() != width) std::abort();
    }};
#if QUILLET_HAVE_STB
    if (stb)
        work.push_back([&] {
            int w = 0, h = 0, n = 0;
            stbi_uc* pixels = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 0);
            if (pixels == nullptr || w != width) std::abort();
            stbi_image_free(pixels);
        });
#else
    (void)stb;
#endif
    const std::vector<double> ms = MedianMs(runs, work);
    return {ms[0], ms.size() > 1 ? ms[1] : -1};
}

void Run(int width, int height, int runs, const std::string& folder)
{
    const std::vector<uint8_t> rgb = MakePhoto(width, height);
    const struct {
        const char* name;
        const char* file;
        std::vector<uint8_t> data;
        bool targa;
    } kFiles[] = {
        {"Targa raw 24-bit", "raw.tga", MakeTarga(rgb, width, height, false), true},
        {"Targa RLE 24-bit", "rle.tga", MakeTarga(rgb, width, height, true), true},
        {"PCX RLE 24-bit", "rgb.pcx", MakePcx(rgb, width, height, true), false},
        {"PCX RLE 8-bit", "p8.pcx", MakePcx(rgb, width, height, false), false},
    };
    std::printf("%d x %d       %-12s %9s  %-23s %-23s %s\n", width, height, "bytes", "Quillet", "stb_image", "Pillow",
                "ratio to the fastest peer");
    for (const auto& f : kFiles) {
        const std::string path = folder + "/" + std::to_string(width) + "x" + std::to_string(height) + "_" + f.file;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data.data()), std::streamsize(f.data.size()));
        const auto [quillet, stb] = f.targa ? QuilletAndStbMs<TTargaGraphic>(f.data, width, runs, true)
                                            : QuilletAndStbMs<TPCXGraphic>(f.data, width, runs, false);
        const double pillow = PillowMs(path, runs);
        double fastest = -1;
        for (const double peer : {stb, pillow})
            if (peer >= 0 && (fastest < 0 || peer < fastest)) fastest = peer;
        std::printf("  %-18s %10zu %9.2f ms  %s  %s  ", f.name, f.data.size(), quillet, Cell(stb, quillet).c_str(),
                    Cell(pillow, quillet).c_str());
        if (fastest < 0) std::printf("-\n");
        else std::printf("%.2f\n", fastest / quillet);
        const std::string measurement = std::string("decode ") + f.name + " " + std::to_string(width) + "x" +
                                        std::to_string(height);
        if (stb >= 0) quillet::bench::PrintRatio(measurement, "stb_image", stb / quillet);
        if (pillow >= 0) quillet::bench::PrintRatio(measurement, "Pillow", pillow / quillet);
    }
}

}  // namespace

// An argument names a folder to keep the files in; otherwise a private one is removed after.
int main(int argc, char** argv)
{
    const std::string folder = argc > 1 ? argv[1] : CreatePrivateFolder(TempFolder());
    std::printf("Decoding from memory; median CPU time of repeated runs; ratio = peer time / Quillet time.\n");
    Run(3000, 2000, 21, folder);
    Run(640, 480, 101, folder);
    if (argc <= 1) RemoveTree(folder);
    return 0;
}
