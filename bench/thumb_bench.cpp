// The thumbnail road against Pillow, on the same JPEG file in the same run: read a
// photograph by its extension, turn it into a bitmap, scale it with the box filter to
// 160 x 107 and compress the result at quality 90 (into memory). Pillow does the same with
// Image.open, load, resize(BOX) and save(JPEG, quality=90), timed inside /usr/bin/python3.
// Best of several runs each, in alternating rounds. Also the share of an upload's load
// that its private temporary copy costs (folder, file, removal).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "imaging/ImageFormats.h"
#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "platform/picture.h"
#include "platform/stream.h"

namespace {

using namespace quillet;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;
constexpr int kRounds = 3;
constexpr int kThumbWidth = 160, kThumbHeight = 107;

double Ms(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// A photograph-like picture: smooth shades with some grain, so that the JPEG is of a
// usual size for its pixels.
std::vector<uint8_t> MakeJpeg(int width, int height)
{
    TBitmap bitmap;
    bitmap.SetPixelFormat(TPixelFormat::pf24bit);
    bitmap.SetSize(width, height);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const int grain = int(random() % 17) - 8;
            row[3 * x] = uint8_t(std::clamp(x * 255 / width + grain, 0, 255));
            row[3 * x + 1] = uint8_t(std::clamp(y * 255 / height + grain, 0, 255));
            row[3 * x + 2] = uint8_t(std::clamp((x + y) * 255 / (width + height) + grain, 0, 255));
        }
    }
    TJPEGImage jpeg;
    jpeg.CopyFrom(bitmap);
    TMemoryStream stream;
    jpeg.WriteImage(stream);
    return std::vector<uint8_t>(stream.Memory(), stream.Memory() + stream.Size());
}

double QuilletMs(const std::string& path)
{
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        TPicture picture;
        picture.Load(path);
        TBitmap& source = picture.ConvertToBitmap();
        source.SetPixelFormat(TPixelFormat::pf24bit);
        TBitmap result;
        ResampleBitmap(kThumbWidth, kThumbHeight, fkBox, 0.0f, source, result);
        TJPEGImage jpeg;
        jpeg.CopyFrom(result);
        TMemoryStream out;
        jpeg.WriteImage(out);
        best = std::min(best, Ms(start));
    }
    return best;
}

// What a load adds for its private copy of the upload.
double TemporaryCopyMs(const std::vector<uint8_t>& data)
{
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        {
            const TLoadFolder folder(TempFolder());
            TFileStream file(folder.Path() + "/photo.jpg", TFileStream::fmCreate);
            file.WriteBuffer(data.data(), int64_t(data.size()));
        }
        best = std::min(best, Ms(start));
    }
    return best;
}

double PillowMs(const std::string& path)
{
    const std::string script =
        "import io, sys, time\n"
        "from PIL import Image\n"
        "best = 1e30\n"
        "for _ in range(int(sys.argv[2])):\n"
        "    t = time.perf_counter()\n"
        "    image = Image.open(sys.argv[1]); image.load()\n"
        "    image.resize((int(sys.argv[3]), int(sys.argv[4])), Image.Resampling.BOX).save(io.BytesIO(), 'JPEG', quality=90)\n"
        "    best = min(best, time.perf_counter() - t)\n"
        "print(best * 1000)\n";
    const std::string command = "/usr/bin/python3 -c \"" + script + "\" " + path + " " + std::to_string(kRuns) + " " +
                                std::to_string(kThumbWidth) + " " + std::to_string(kThumbHeight) + " 2>/dev/null";
    double ms = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        if (std::fscanf(pipe, "%lf", &ms) != 1) ms = -1;
        pclose(pipe);
    }
    return ms;
}

}  // namespace

int main()
{
    RegisterImageFormats();
    const struct {
        const char* name;
        int width, height;
    } kCases[] = {{"3000x2000 JPEG -> 160x107", 3000, 2000}, {"640x480 JPEG -> 160x107", 640, 480}};
    std::printf("%-28s %10s %12s %10s %8s %14s\n", "case", "jpeg KB", "quillet ms", "pillow ms", "ratio", "temp copy ms");
    for (const auto& c : kCases) {
        const std::vector<uint8_t> data = MakeJpeg(c.width, c.height);
        const std::string folder = CreatePrivateFolder(TempFolder());
        const std::string path = folder + "/photo.jpg";
        {
            TFileStream file(path, TFileStream::fmCreate);
            file.WriteBuffer(data.data(), int64_t(data.size()));
        }
        double quillet = 1e30, pillow = -1, copy = 1e30;
        for (int round = 0; round < kRounds; ++round) {
            const double p = PillowMs(path);
            if (p > 0) pillow = pillow < 0 ? p : std::min(pillow, p);
            quillet = std::min(quillet, QuilletMs(path));
            copy = std::min(copy, TemporaryCopyMs(data));
        }
        RemoveTree(folder);
        if (pillow > 0) {
            std::printf("%-28s %10zu %12.2f %10.2f %8.2f %14.3f\n", c.name, data.size() / 1024, quillet, pillow,
                        pillow / quillet, copy);
            bench::PrintRatio(std::string("in-process road ") + c.name, "Pillow", pillow / quillet);
        } else
            std::printf("%-28s %10zu %12.2f %10s %8s %14.3f\n", c.name, data.size() / 1024, quillet, "n/a", "n/a", copy);
    }
    std::printf("ratio = Pillow time / Quillet time; JPEG decoding (float DCT, block smoothing, as the\n"
                "component decodes) is most of both\n");
    return 0;
}
