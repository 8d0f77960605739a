// Decoding speed of the Photoshop reader (PackBits composite) against stb_image and Pillow,
// and of the SGI reader (run-length) against Pillow, on generated photo-like pictures of
// 3000 x 2000 and 640 x 480 pixels decoded from memory. All decoders run in the same run,
// in alternating rounds; times are the CPU time of the decoding process (user and system,
// page faults included), so that other work on a shared machine does not count. Pillow is
// timed inside its own interpreter, without its start-up. Each figure is the best time of
// all rounds; ratios are peer time / Quillet time (above 1: Quillet is faster).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench/report.h"
#include "imaging/readers/psd.h"
#include "imaging/readers/sgi.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "tests/support/psd_writer.h"
#include "tests/support/sgi_writer.h"

#ifdef QUILLET_HAVE_STB
#include <stb/stb_image.h>
#endif

using namespace quillet;

namespace {

struct Picture {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Rgb;  // top row first
};

uint32_t Hash(uint32_t v)
{
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    return v ^ (v >> 16);
}

// Smooth shapes, a flat and quiet sky in the upper part, edges and sensor-like noise: the
// mix of long runs and incompressible stretches a photograph gives run-length coders.
Picture MakePhoto(int width, int height)
{
    Picture p{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 3)};
    for (int y = 0; y < height; ++y) {
        const double fy = double(y) / height;
        for (int x = 0; x < width; ++x) {
            const double fx = double(x) / width;
            const uint32_t h = Hash(uint32_t(y) * 40503u + uint32_t(x));
            for (int c = 0; c < 3; ++c) {
                double v;
                if (fy < 0.3 - 0.1 * std::sin(fx * 9)) {
                    v = 150 + 60 * fy + 20 * c + ((h >> (8 * c)) % 7 == 0 ? 1 : 0);  // sky
                } else {
                    v = 110 + 70 * std::sin(fx * 13 + c) * std::cos(fy * 7) + 40 * std::sin((fx + fy) * 31 + c);
                    if ((int(fx * 40) + int(fy * 25)) % 5 == 0) v *= 0.5;                // shadows
                    v += double(int((h >> (8 * c)) & 15) - 8);                           // noise
                }
                p.Rgb[(size_t(y) * size_t(width) + size_t(x)) * 3 + size_t(c)] = uint8_t(std::clamp(v, 0.0, 255.0));
            }
        }
    }
    return p;
}

std::vector<uint16_t> Plane(const Picture& p, int c, bool bottomUp)
{
    std::vector<uint16_t> plane(size_t(p.Width) * size_t(p.Height));
    for (int y = 0; y < p.Height; ++y) {
        const int source = bottomUp ? p.Height - 1 - y : y;
        for (int x = 0; x < p.Width; ++x)
            plane[size_t(y) * size_t(p.Width) + size_t(x)] = p.Rgb[(size_t(source) * size_t(p.Width) + size_t(x)) * 3 + size_t(c)];
    }
    return plane;
}

std::vector<uint8_t> PsdFile(const Picture& p)
{
    test::PsdImage image;
    image.Width = uint32_t(p.Width);
    image.Height = uint32_t(p.Height);
    image.Compression = 1;
    for (int c = 0; c < 3; ++c) image.Planes.push_back(Plane(p, c, false));
    return test::WritePsd(image);
}

std::vector<uint8_t> SgiFile(const Picture& p)
{
    test::SgiImage image;
    image.Width = uint16_t(p.Width);
    image.Height = uint16_t(p.Height);
    image.RunLength = true;
    for (int c = 0; c < 3; ++c) image.Channels.push_back(Plane(p, c, true));
    return test::WriteSgi(image);
}

constexpr int kRounds = 3;

double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

template <class F>
double BestMs(int repeats, F&& run)
{
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const double start = CpuMs();
        run();
        best = std::min(best, CpuMs() - start);
    }
    return best;
}

// The decoded picture must be the one that was written.
template <class G>
void CheckQuillet(const std::vector<uint8_t>& file, const Picture& want)
{
    {
        TMemoryViewStream stream(file.data(), file.size());
        G g;
        g.ReadImage(stream);
        for (int y = 0; y < want.Height; ++y)
            for (int x = 0; x < want.Width; ++x)
                for (int c = 0; c < 3; ++c)
                    if (g.ScanLine(y)[3 * x + 2 - c] != want.Rgb[(size_t(y) * size_t(want.Width) + size_t(x)) * 3 + size_t(c)]) {
                        std::printf("  Quillet decoded a different picture at %d,%d\n", x, y);
                        std::exit(1);
                    }
    }
}

template <class G>
double TimeQuillet(const std::vector<uint8_t>& file, int repeats)
{
    return BestMs(repeats, [&] {
        TMemoryViewStream stream(file.data(), file.size());
        G g;
        g.ReadImage(stream);
    });
}

#ifdef QUILLET_HAVE_STB
double TimeStb(const std::vector<uint8_t>& file, int repeats)
{
    return BestMs(repeats, [&] {
        int w = 0, h = 0, n = 0;
        stbi_uc* pixels = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 3);
        if (pixels == nullptr) {
            std::printf("  stb_image failed: %s\n", stbi_failure_reason());
            std::exit(1);
        }
        stbi_image_free(pixels);
    });
}
#endif

// Best decode times in ms by file, from /usr/bin/python3 with Pillow; empty when Pillow
// is not there.
std::map<std::string, double> TimePillow(const std::vector<std::pair<std::string, int>>& files)
{
    std::map<std::string, double> result;
    std::string command = "/usr/bin/python3 -c '"
                          "import io, sys, time\n"
                          "from PIL import Image\n"
                          "for arg in sys.argv[1:]:\n"
                          "    path, reps = arg.rsplit(\":\", 1)\n"
                          "    data = open(path, \"rb\").read()\n"
                          "    times = []\n"
                          "    for i in range(int(reps)):\n"
                          "        t = time.process_time(); im = Image.open(io.BytesIO(data)); im.load()\n"
                          "        times.append(time.process_time() - t)\n"
                          "    print(path, min(times) * 1000)\n"
                          "' 2>/dev/null";
    for (const auto& [path, repeats] : files) command += " " + path + ":" + std::to_string(repeats);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char path[4096];
    double ms = 0;
    while (std::fscanf(pipe, "%4095s %lf", path, &ms) == 2) result[path] = ms;
    pclose(pipe);
    return result;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& data)
{
    TFileStream file(path, TFileStream::fmCreate);
    file.WriteBuffer(data.data(), int64_t(data.size()));
}

void Report(const std::string& measurement, const char* peer, double peerMs, double quilletMs, double goal)
{
    std::printf("  %-10s %8.2f ms   ratio %5.2f\n", peer, peerMs, peerMs / quilletMs);
    bench::PrintRatio(measurement, peer, peerMs / quilletMs, bench::AtLeast(goal));
}

}  // namespace

int main()
{
    const std::string folder = CreatePrivateFolder(TempFolder());
    struct Case {
        const char* format;
        int width, height, repeats;
        std::vector<uint8_t> file;
        Picture picture;
        std::string path;
    };
    std::vector<Case> cases;
    for (const auto& [w, h, repeats] : {std::tuple{3000, 2000, 7}, std::tuple{640, 480, 41}}) {
        const Picture picture = MakePhoto(w, h);
        cases.push_back({"psd", w, h, repeats, PsdFile(picture), picture, ""});
        cases.push_back({"sgi", w, h, repeats, SgiFile(picture), picture, ""});
    }
    std::vector<std::pair<std::string, int>> pillowFiles;
    for (Case& c : cases) {
        c.path = folder + "/" + std::to_string(c.width) + "x" + std::to_string(c.height) + "." + c.format;
        WriteBytes(c.path, c.file);
        pillowFiles.push_back({c.path, c.repeats});
        if (std::strcmp(c.format, "psd") == 0)
            CheckQuillet<TPSDGraphic>(c.file, c.picture);
        else
            CheckQuillet<TSGIGraphic>(c.file, c.picture);
    }

    std::vector<double> quillet(cases.size(), 1e300), stb(cases.size(), 1e300), pillow(cases.size(), 1e300);
    for (int round = 0; round < kRounds; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            const bool psd = std::strcmp(c.format, "psd") == 0;
            quillet[i] = std::min(quillet[i], psd ? TimeQuillet<TPSDGraphic>(c.file, c.repeats)
                                                  : TimeQuillet<TSGIGraphic>(c.file, c.repeats));
#ifdef QUILLET_HAVE_STB
            if (psd) stb[i] = std::min(stb[i], TimeStb(c.file, c.repeats));
#endif
        }
        const std::map<std::string, double> times = TimePillow(pillowFiles);
        for (size_t i = 0; i < cases.size(); ++i)
            if (auto it = times.find(cases[i].path); it != times.end()) pillow[i] = std::min(pillow[i], it->second);
    }

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const bool psd = std::strcmp(c.format, "psd") == 0;
        std::printf("%s %d x %d, %zu bytes, best of %d x %d runs\n", psd ? "PSD (PackBits)" : "SGI (run-length)", c.width,
                    c.height, c.file.size(), kRounds, c.repeats);
        std::printf("  %-10s %8.2f ms\n", "Quillet", quillet[i]);
        double fastest = 1e300;
        // Quillet against the fastest peer; against each peer then at least as much.
        const double goal = psd ? 1.2 : 2.0;
        const std::string measurement = std::string("decode ") + c.format + " " + std::to_string(c.width) + "x" +
                                        std::to_string(c.height);
        if (psd) {
            if (stb[i] < 1e300) {
                Report(measurement, "stb_image", stb[i], quillet[i], goal);
                fastest = std::min(fastest, stb[i]);
            } else {
                std::printf("  %-10s not available\n", "stb_image");
            }
        }
        if (pillow[i] < 1e300) {
            Report(measurement, "Pillow", pillow[i], quillet[i], goal);
            fastest = std::min(fastest, pillow[i]);
        } else {
            std::printf("  %-10s not available\n", "Pillow");
        }
        if (fastest < 1e300)
            std::printf("  fastest peer / Quillet: %.2f (goal %.1f)\n", fastest / quillet[i], goal);
        std::printf("\n");
    }
    RemoveTree(folder);
    return 0;
}
