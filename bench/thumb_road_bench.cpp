// The whole thumbnail road of a 3000 x 2000 picture, as whole processes: `quillet thumb`
// (the reader chosen by the extension, the picture loaded through a private temporary
// copy as an upload is, box-filtered to 160 x 107 and saved as a JPEG of quality 90)
// against vipsthumbnail, ImageMagick's convert -thumbnail and Pillow in /usr/bin/python3,
// each started as a process on the same file, for every format that Quillet and a peer
// read. The files are written by Pillow (PSD by ImageMagick) into the run's temporary
// folder from one photograph-like picture.
//
// Each figure is the best wall time of kRounds runs, the tools taking turns within a
// round so that a busy machine slows all alike; peak memory is the process's maximum
// resident size as wait4 reports it. Goals: Quillet's time at most half the fastest
// peer's (every ratio peer / Quillet >= 2), and Quillet's peak at most 2.5 times the
// decoded bitmap.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "imaging/ImageFormats.h"
#include "platform/bitmap.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "platform/picture.h"
#include "platform/stream.h"

extern char** environ;

namespace {

using namespace quillet;
using bench::AtLeast;
using bench::AtMost;
using bench::PrintRatio;

constexpr int kWidth = 3000, kHeight = 2000;
constexpr char kSize[] = "160x107";
constexpr int kThumbWidth = 160, kThumbHeight = 107;
constexpr int kRounds = 7;
constexpr double kTimeGoal = 2.0;    // peer time / Quillet time, for every peer
constexpr double kMemoryGoal = 2.5;  // Quillet's peak / the decoded bitmap

struct TRun {
    bool Ok = false;
    double Ms = 0;
    long PeakKb = 0;
};

// Starts the program with its output thrown away and waits for it: wall time and the
// child's own peak resident size.
TRun RunProcess(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    TRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            run.Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            run.PeakKb = usage.ru_maxrss;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// A photograph-like picture: smooth shades with some grain, so that the compressed
// formats come out at a usual size for their pixels. Written as a binary pixmap.
void WritePixmap(const std::string& path)
{
    std::string data = "P6\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
    const size_t header = data.size();
    data.resize(header + size_t(kWidth) * kHeight * 3);
    std::mt19937 random(7);
    uint8_t* p = reinterpret_cast<uint8_t*>(data.data()) + header;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int grain = int(random() % 17) - 8;
            *p++ = uint8_t(std::clamp((x + y) * 255 / (kWidth + kHeight) + grain, 0, 255));
            *p++ = uint8_t(std::clamp(y * 255 / kHeight + grain, 0, 255));
            *p++ = uint8_t(std::clamp(x * 255 / kWidth + grain, 0, 255));
        }
    TFileStream file(path, TFileStream::fmCreate);
    file.WriteBuffer(data.data(), int64_t(data.size()));
}

struct TFormat {
    const char* Name;
    const char* File;
};

const TFormat kFormats[] = {
    {"JPEG", "photo.jpg"},         {"BMP", "photo.bmp"},          {"Targa", "photo.tga"},
    {"TIFF none", "none.tif"},     {"TIFF LZW", "lzw.tif"},       {"TIFF PackBits", "packbits.tif"},
    {"GIF", "photo.gif"},          {"PPM", "photo.ppm"},          {"PCX", "photo.pcx"},
    {"SGI", "photo.sgi"},          {"PSD", "photo.psd"},
};

// Every file but the pixmap and the PSD from the pixmap, by Pillow.
constexpr char kWriteFiles[] =
    "import sys\n"
    "from PIL import Image\n"
    "d = sys.argv[1]\n"
    "im = Image.open(d + '/photo.ppm'); im.load()\n"
    "im.save(d + '/photo.jpg', quality=90)\n"
    "im.save(d + '/photo.bmp')\n"
    "im.save(d + '/photo.tga')\n"
    "im.save(d + '/none.tif')\n"
    "im.save(d + '/lzw.tif', compression='tiff_lzw')\n"
    "im.save(d + '/packbits.tif', compression='packbits')\n"
    "im.quantize(256).save(d + '/photo.gif')\n"
    "im.save(d + '/photo.pcx')\n"
    "im.save(d + '/photo.sgi')\n";

// Pillow's own thumbnail road: open, thumbnail with the box filter (which lets the JPEG
// decoder scale down while it decodes), save as JPEG.
constexpr char kPillowThumb[] =
    "import sys\n"
    "from PIL import Image\n"
    "im = Image.open(sys.argv[1])\n"
    "if im.mode != 'RGB': im = im.convert('RGB')\n"
    "im.thumbnail((int(sys.argv[3]), int(sys.argv[4])), Image.Resampling.BOX)\n"
    "im.save(sys.argv[2], 'JPEG', quality=90)\n";

struct TTool {
    const char* Name;
    std::vector<std::string> (*Command)(const std::string& quillet, const std::string& in, const std::string& out);
};

const TTool kTools[] = {
    {"Quillet",
     [](const std::string& quillet, const std::string& in, const std::string& out) {
         return std::vector<std::string>{quillet, "thumb", in, out, "--size", kSize};
     }},
    {"vipsthumbnail",
     [](const std::string&, const std::string& in, const std::string& out) {
         return std::vector<std::string>{"/usr/bin/vipsthumbnail", in, "--size", std::string(kSize) + "!", "-o",
                                         out + "[Q=90]"};
     }},
    {"convert",
     [](const std::string&, const std::string& in, const std::string& out) {
         return std::vector<std::string>{"/usr/bin/convert", in + "[0]", "-thumbnail", std::string(kSize) + "!",
                                         "-quality", "90", out};
     }},
    {"Pillow",
     [](const std::string&, const std::string& in, const std::string& out) {
         return std::vector<std::string>{"/usr/bin/python3", "-c", kPillowThumb, in, out,
                                         std::to_string(kThumbWidth), std::to_string(kThumbHeight)};
     }},
};
constexpr size_t kToolCount = std::size(kTools);

std::string QuilletProgram()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "quillet";
    std::string self(path, size_t(n));
    self.erase(self.rfind('/'));             // .../build/bench
    return self.substr(0, self.rfind('/')) + "/quillet";
}

// Quillet's thumbnail must be the size asked for; a peer's only has to exist.
bool ThumbnailIsRight(const std::string& path)
{
    try {
        TPicture picture;
        picture.Load(path);
        return picture.Width() == kThumbWidth && picture.Height() == kThumbHeight;
    } catch (const std::exception&) {
        return false;
    }
}

// The bitmap the reader makes, at 3 bytes per pixel (4 for a picture with alpha).
double DecodedBytes(const std::string& path)
{
    try {
        TPicture picture;
        picture.Load(path);
        const TBitmap& bitmap = picture.ConvertToBitmap();
        const int bytes = bitmap.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3;
        return double(bitmap.Width()) * bitmap.Height() * bytes;
    } catch (const std::exception&) {
        return double(kWidth) * kHeight * 3;
    }
}

}  // namespace

int main()
{
    RegisterImageFormats();
    const std::string quillet = QuilletProgram();
    if (access(quillet.c_str(), X_OK) != 0) {
        std::printf("%s is missing: build the quillet program first\n", quillet.c_str());
        return 1;
    }
    const std::string folder = CreatePrivateFolder(TempFolder());
    WritePixmap(folder + "/photo.ppm");
    RunProcess({"/usr/bin/python3", "-c", kWriteFiles, folder});
    RunProcess({"/usr/bin/convert", folder + "/photo.ppm", "-depth", "8", "-compress", "RLE", folder + "/photo.psd"});

    std::printf("%d x %d -> %s, whole processes, best wall time of %d rounds (shared machine: best-of-N);\n"
                "ratio = peer time / Quillet time, goal >= %.1f for every peer; peak = max resident size\n\n",
                kWidth, kHeight, kSize, kRounds, kTimeGoal);
    std::printf("%-14s %9s | %9s %9s %9s %9s | %7s %s | %7s %7s %7s %7s | %6s %s\n", "format", "file KB", "Quillet",
                "vips", "convert", "Pillow", "fastest", "time goal", "Q MB", "vips MB", "IM MB", "Pil MB",
                "peak/bm", "memory goal");
    for (const TFormat& f : kFormats) {
        const std::string in = folder + "/" + f.File;
        if (!FileExists(in)) {
            std::printf("%-14s not made (no writer for it here)\n", f.Name);
            continue;
        }
        TRun best[kToolCount];
        bool usable[kToolCount];
        for (size_t t = 0; t < kToolCount; ++t) {
            // One warm-up run: the file in the page cache, the programs' libraries loaded.
            const std::string out = folder + "/out-" + std::to_string(t) + ".jpg";
            DeleteFile(out);
            usable[t] = RunProcess(kTools[t].Command(quillet, in, out)).Ok && FileExists(out);
            if (t == 0 && usable[t]) usable[t] = ThumbnailIsRight(out);
            best[t].Ms = 1e30;
        }
        for (int round = 0; round < kRounds; ++round)
            for (size_t t = 0; t < kToolCount; ++t) {
                if (!usable[t]) continue;
                const TRun run = RunProcess(kTools[t].Command(quillet, in, folder + "/out-" + std::to_string(t) + ".jpg"));
                if (!run.Ok) {
                    usable[t] = false;
                    continue;
                }
                best[t].Ms = std::min(best[t].Ms, run.Ms);
                best[t].PeakKb = std::max(best[t].PeakKb, run.PeakKb);
            }
        const int64_t fileBytes = [&] {
            TFileStream file(in, TFileStream::fmOpenRead);
            return file.Size();
        }();
        std::printf("%-14s %9lld |", f.Name, (long long)(fileBytes / 1024));
        if (!usable[0]) {
            std::printf(" Quillet failed\n");
            continue;
        }
        double fastest = 1e30;
        for (size_t t = 0; t < kToolCount; ++t) {
            if (usable[t]) std::printf(" %9.1f", best[t].Ms);
            else std::printf(" %9s", "-");
            if (t > 0 && usable[t]) fastest = std::min(fastest, best[t].Ms);
        }
        const double quilletMs = best[0].Ms;
        const bool timeMet = fastest / quilletMs >= kTimeGoal;
        if (fastest < 1e30) std::printf(" | %7.2f %-9s |", fastest / quilletMs, timeMet ? "met" : "missed");
        else std::printf(" | %7s %-9s |", "-", "no peer");
        for (size_t t = 0; t < kToolCount; ++t) {
            if (usable[t]) std::printf(" %7.1f", double(best[t].PeakKb) / 1024);
            else std::printf(" %7s", "-");
        }
        const double peak = double(best[0].PeakKb) * 1024 / DecodedBytes(in);
        std::printf(" | %6.2f %s\n", peak, peak <= kMemoryGoal ? "met" : "missed");

        const std::string name = std::string("thumb road ") + f.Name;
        for (size_t t = 1; t < kToolCount; ++t)
            if (usable[t]) PrintRatio(name, kTools[t].Name, best[t].Ms / quilletMs, AtLeast(kTimeGoal));
        PrintRatio(name + " peak memory", "decoded bitmap", peak, AtMost(kMemoryGoal));
    }
    RemoveTree(folder);
    return 0;
}
