// GIF and TIFF decoding speed: Quillet's readers beside giflib, stb_image, libtiff and
// Pillow on the same files, decoded from memory in the same run. The pictures are
// generated photo-like (smooth shapes, edges and grain) at 3000 x 2000 and 640 x 480;
// the GIF is quantised to 256 colours with error diffusion, as photo GIFs are. Each
// figure is the best of several runs, in CPU time of the decoding thread (so that other
// work on a shared machine weighs less); ratios are peer time / Quillet time (above 1:
// Quillet is faster).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/report.h"
#include "imaging/readers/gif.h"
#include "imaging/readers/tiff.h"
#include "platform/errors.h"
#include "platform/stream.h"

#ifdef QUILLET_HAVE_GIFLIB
#include <gif_lib.h>
#endif
#ifdef QUILLET_HAVE_LIBTIFF
#include <tiffio.h>
#endif
#ifdef QUILLET_HAVE_STB
#include <stb/stb_image.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

double ThreadMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Best time of each decoder over runs rounds; every round runs each decoder once, so that
// the load of a shared machine falls on all of them alike.
std::map<std::string, double> BestMs(int runs,
                                     const std::vector<std::pair<std::string, std::function<void()>>>& decoders)
{
    std::map<std::string, double> best;
    for (const auto& d : decoders) best[d.first] = 1e30;
    for (int i = 0; i < runs; ++i)
        for (const auto& [name, work] : decoders) {
            const double start = ThreadMs();
            work();
            best[name] = std::min(best[name], ThreadMs() - start);
        }
    return best;
}

// RGB rows of a photo-like picture: soft gradients and shapes, a few sharp edges, grain.
Bytes PhotoLike(int width, int height)
{
    Bytes rgb(size_t(width) * size_t(height) * 3);
    uint32_t state = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width, v = double(y) / height;
            double r = 120 + 70 * std::sin(6.0 * u + 2.0 * v) + 30 * std::sin(23.0 * u * v + 1.0);
            double g = 110 + 60 * std::cos(4.0 * v - 3.0 * u) + 25 * std::sin(17.0 * (u - v));
            double b = 100 + 80 * std::sin(3.0 * (u + v)) * std::cos(5.0 * u);
            if ((u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4) < 0.04) r += 60, g -= 40;
            if (x % 400 < 6 && y > height / 3) b += 90;
            state = state * 1664525u + 1013904223u;
            const double grain = double(int(state >> 27) - 16) * 0.6;
            const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3;
            rgb[i] = uint8_t(std::clamp(r + grain, 0.0, 255.0));
            rgb[i + 1] = uint8_t(std::clamp(g + grain, 0.0, 255.0));
            rgb[i + 2] = uint8_t(std::clamp(b + grain, 0.0, 255.0));
        }
    return rgb;
}

// 256 colours: a 6 x 7 x 6 cube and 4 greys; Floyd-Steinberg error diffusion.
struct TQuantised {
    Bytes Indices;
    Bytes Palette;  // 256 x red, green, blue
};

TQuantised Quantise(const Bytes& rgb, int width, int height)
{
    TQuantised q;
    q.Palette = Bytes(768, 0);
    const auto setColour = [&](int i, int r, int g, int b) {
        q.Palette[size_t(3 * i)] = uint8_t(r);
        q.Palette[size_t(3 * i + 1)] = uint8_t(g);
        q.Palette[size_t(3 * i + 2)] = uint8_t(b);
    };
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 7; ++g)
            for (int b = 0; b < 6; ++b) setColour((r * 7 + g) * 6 + b, r * 51, g * 255 / 6, b * 51);
    for (int k = 0; k < 4; ++k) setColour(252 + k, 64 + 40 * k, 64 + 40 * k, 64 + 40 * k);
    q.Indices.resize(size_t(width) * size_t(height));
    std::vector<float> error(size_t(width + 2) * 3 * 2, 0.0f);
    for (int y = 0; y < height; ++y) {
        float* current = error.data() + size_t(y % 2) * size_t(width + 2) * 3;
        float* next = error.data() + size_t((y + 1) % 2) * size_t(width + 2) * 3;
        std::fill(next, next + size_t(width + 2) * 3, 0.0f);
        for (int x = 0; x < width; ++x) {
            float c[3];
            for (int k = 0; k < 3; ++k)
                c[k] = std::clamp(float(rgb[(size_t(y) * size_t(width) + size_t(x)) * 3 + size_t(k)]) +
                                      current[size_t(x + 1) * 3 + size_t(k)],
                                  0.0f, 255.0f);
            const int r = int(std::lround(c[0] / 51)), g = int(std::lround(c[1] * 6 / 255)),
                      b = int(std::lround(c[2] / 51));
            const int index = (r * 7 + g) * 6 + b;
            q.Indices[size_t(y) * size_t(width) + size_t(x)] = uint8_t(index);
            for (int k = 0; k < 3; ++k) {
                const float e = c[k] - float(q.Palette[size_t(3 * index + k)]);
                current[size_t(x + 2) * 3 + size_t(k)] += e * 7 / 16;
                next[size_t(x) * 3 + size_t(k)] += e * 3 / 16;
                next[size_t(x + 1) * 3 + size_t(k)] += e * 5 / 16;
                next[size_t(x + 2) * 3 + size_t(k)] += e * 1 / 16;
            }
        }
    }
    return q;
}

// --- writers (the peers' own encoders make the files) ------------------------

#ifdef QUILLET_HAVE_GIFLIB
int GifWrite(GifFileType* gif, const GifByteType* data, int size)
{
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + size);
    return size;
}

std::optional<Bytes> WriteGif(const TQuantised& q, int width, int height)
{
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, GifWrite, &error);
    if (gif == nullptr) return std::nullopt;
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = {q.Palette[3 * size_t(i)], q.Palette[3 * size_t(i) + 1], q.Palette[3 * size_t(i) + 2]};
    ColorMapObject* map = GifMakeMapObject(256, colours);
    bool ok = EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
    for (int y = 0; ok && y < height; ++y)
        ok = EGifPutLine(gif, const_cast<GifPixelType*>(q.Indices.data() + size_t(y) * size_t(width)), width) == GIF_OK;
    GifFreeMapObject(map);
    if (EGifCloseFile(gif, &error) != GIF_OK || !ok) return std::nullopt;
    return out;
}
#endif

#ifdef QUILLET_HAVE_LIBTIFF
struct TMemoryFile {
    Bytes Data;
    toff_t Position = 0;
};

tsize_t TiffRead(thandle_t h, tdata_t buffer, tsize_t size)
{
    auto* f = static_cast<TMemoryFile*>(h);
    const tsize_t n = std::max<tsize_t>(0, std::min<tsize_t>(size, tsize_t(f->Data.size()) - tsize_t(f->Position)));
    std::memcpy(buffer, f->Data.data() + f->Position, size_t(n));
    f->Position += toff_t(n);
    return n;
}
tsize_t TiffWrite(thandle_t h, tdata_t buffer, tsize_t size)
{
    auto* f = static_cast<TMemoryFile*>(h);
    if (f->Position + toff_t(size) > f->Data.size()) f->Data.resize(size_t(f->Position) + size_t(size));
    std::memcpy(f->Data.data() + f->Position, buffer, size_t(size));
    f->Position += toff_t(size);
    return size;
}
toff_t TiffSeek(thandle_t h, toff_t offset, int whence)
{
    auto* f = static_cast<TMemoryFile*>(h);
    const toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->Position : toff_t(f->Data.size());
    f->Position = base + offset;
    return f->Position;
}
int TiffClose(thandle_t)
{
    return 0;
}
toff_t TiffSize(thandle_t h)
{
    return toff_t(static_cast<TMemoryFile*>(h)->Data.size());
}
int TiffMap(thandle_t, tdata_t*, toff_t*)
{
    return 0;
}
void TiffUnmap(thandle_t, tdata_t, toff_t) {}

TIFF* OpenTiff(TMemoryFile& file, const char* mode)
{
    return TIFFClientOpen("memory", mode, &file, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize, TiffMap,
                          TiffUnmap);
}

std::optional<Bytes> WriteTiff(const Bytes& rgb, int width, int height, int compression, bool predictor)
{
    TMemoryFile file;
    TIFF* tif = OpenTiff(file, "w");
    if (tif == nullptr) return std::nullopt;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    if (predictor) TIFFSetField(tif, TIFFTAG_PREDICTOR, 2);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    bool ok = true;
    for (int y = 0; ok && y < height; ++y)
        ok = TIFFWriteScanline(tif, const_cast<uint8_t*>(rgb.data() + size_t(y) * size_t(width) * 3), uint32_t(y), 0) >=
             0;
    TIFFClose(tif);
    if (!ok) return std::nullopt;
    return file.Data;
}
#endif

// --- decoders ----------------------------------------------------------------

// The decoders can hand their pixels out, so that the run checks that Quillet decoded
// the same pixels as the peer: GIF indices, TIFF blue-green-red rows.
template <class TReader>
void QuilletDecode(const Bytes& file, Bytes* pixels = nullptr)
{
    TReader reader;
    quillet::TMemoryViewStream stream(file.data(), file.size());
    reader.ReadImage(stream);
    if (pixels == nullptr) return;
    const size_t rowBytes = size_t(reader.Width()) * size_t(quillet::BitsPerPixel(reader.PixelFormat())) / 8;
    for (int y = 0; y < reader.Height(); ++y)
        pixels->insert(pixels->end(), reader.ScanLine(y), reader.ScanLine(y) + rowBytes);
}

#ifdef QUILLET_HAVE_GIFLIB
struct TGifSource {
    const Bytes* Data;
    size_t Position;
};

int GifRead(GifFileType* gif, GifByteType* buffer, int size)
{
    auto* s = static_cast<TGifSource*>(gif->UserData);
    const size_t n = std::min(size_t(size), s->Data->size() - s->Position);
    std::memcpy(buffer, s->Data->data() + s->Position, n);
    s->Position += n;
    return int(n);
}

// The first image's indices, as the Quillet reader gives them.
void GiflibDecode(const Bytes& file, Bytes* indices = nullptr)
{
    TGifSource source{&file, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&source, GifRead, &error);
    if (gif == nullptr) throw quillet::Exception("giflib could not open the file");
    GifRecordType record;
    while (DGifGetRecordType(gif, &record) == GIF_OK && record != TERMINATE_RECORD_TYPE) {
        if (record != IMAGE_DESC_RECORD_TYPE) continue;
        if (DGifGetImageDesc(gif) != GIF_OK) break;
        const int width = gif->Image.Width, height = gif->Image.Height;
        Bytes pixels(size_t(width) * size_t(height));
        for (int y = 0; y < height; ++y)
            if (DGifGetLine(gif, pixels.data() + size_t(y) * size_t(width), width) != GIF_OK) break;
        if (indices != nullptr) *indices = std::move(pixels);
        break;
    }
    DGifCloseFile(gif, &error);
}
#endif

#ifdef QUILLET_HAVE_STB
// stb_image gives GIF pictures as 4-channel pixels, TIFF not at all.
void StbDecode(const Bytes& file)
{
    int width = 0, height = 0, channels = 0;
    unsigned char* pixels = stbi_load_from_memory(file.data(), int(file.size()), &width, &height, &channels, 0);
    if (pixels == nullptr) throw quillet::Exception("stb_image could not decode the file");
    stbi_image_free(pixels);
}
#endif

#ifdef QUILLET_HAVE_LIBTIFF
// Every strip decoded into one buffer of samples (no conversion to bitmap rows).
void LibtiffDecode(const Bytes& data, Bytes* bgr = nullptr)
{
    TMemoryFile file{data, 0};
    TIFF* tif = OpenTiff(file, "r");
    if (tif == nullptr) throw quillet::Exception("libtiff could not open the file");
    const tmsize_t stripSize = TIFFStripSize(tif);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    Bytes pixels(size_t(stripSize) * strips);
    for (uint32_t s = 0; s < strips; ++s)
        TIFFReadEncodedStrip(tif, s, pixels.data() + size_t(s) * size_t(stripSize), stripSize);
    if (bgr != nullptr) {
        uint32_t width = 0, height = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        pixels.resize(size_t(width) * height * 3);
        for (size_t i = 0; i < pixels.size(); i += 3) std::swap(pixels[i], pixels[i + 2]);
        *bgr = std::move(pixels);
    }
    TIFFClose(tif);
}
#endif

// Pillow's best decode time per file, from one /usr/bin/python3 run, start-up excluded.
std::map<std::string, double> PillowTimes(const std::vector<std::string>& paths, int runs)
{
    std::map<std::string, double> times;
    const std::string script =
        "import io, sys, time\n"
        "from PIL import Image\n"
        "runs = int(sys.argv[1])\n"
        "for path in sys.argv[2:]:\n"
        "    data = open(path, 'rb').read()\n"
        "    best = 1e30\n"
        "    for _ in range(runs):\n"
        "        start = time.thread_time()\n"
        "        image = Image.open(io.BytesIO(data))\n"
        "        image.load()\n"
        "        best = min(best, time.thread_time() - start)\n"
        "    print(path, best * 1000.0, flush=True)\n";
    const std::filesystem::path scriptPath = std::filesystem::temp_directory_path() / "quillet_bench_pillow.py";
    std::ofstream(scriptPath) << script;
    std::string command = "/usr/bin/python3 " + scriptPath.string() + " " + std::to_string(runs);
    for (const auto& p : paths) command += " " + p;
    command += " 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char path[4096];
        double ms = 0;
        while (std::fscanf(pipe, "%4095s %lf", path, &ms) == 2) times[path] = ms;
        pclose(pipe);
    }
    std::filesystem::remove(scriptPath);
    return times;
}

struct TCase {
    std::string Name;  // "GIF 3000x2000"
    Bytes File;
    bool Gif;
    std::string Path;  // a copy on disk for Pillow
};

}  // namespace

int main()
{
    const int sizes[2][2] = {{3000, 2000}, {640, 480}};
    // QUILLET_BENCH_FILES=DIR keeps the generated files there.
    const char* keep = std::getenv("QUILLET_BENCH_FILES");
    const std::filesystem::path folder =
        keep != nullptr ? std::filesystem::path(keep)
                        : std::filesystem::temp_directory_path() / ("quillet_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);

    std::vector<TCase> cases;
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        const Bytes rgb = PhotoLike(w, h);
        const std::string dims = std::to_string(w) + "x" + std::to_string(h);
#ifdef QUILLET_HAVE_GIFLIB
        if (auto gif = WriteGif(Quantise(rgb, w, h), w, h)) cases.push_back({"GIF " + dims, *gif, true, ""});
#endif
#ifdef QUILLET_HAVE_LIBTIFF
        const struct {
            const char* name;
            int compression;
            bool predictor;
        } kTiffs[] = {{"none", COMPRESSION_NONE, false},
                      {"LZW", COMPRESSION_LZW, false},
                      {"LZW+predictor", COMPRESSION_LZW, true},
                      {"PackBits", COMPRESSION_PACKBITS, false}};
        for (const auto& t : kTiffs)
            if (auto tiff = WriteTiff(rgb, w, h, t.compression, t.predictor))
                cases.push_back({std::string("TIFF ") + t.name + " " + dims, *tiff, false, ""});
#endif
    }
    if (cases.empty()) {
        std::printf("no peer library to write the test files (giflib, libtiff); nothing measured\n");
        return 0;
    }
    std::vector<std::string> paths;
    for (size_t i = 0; i < cases.size(); ++i) {
        cases[i].Path = (folder / ("case" + std::to_string(i) + (cases[i].Gif ? ".gif" : ".tif"))).string();
        std::ofstream(cases[i].Path, std::ios::binary)
            .write(reinterpret_cast<const char*>(cases[i].File.data()), std::streamsize(cases[i].File.size()));
        paths.push_back(cases[i].Path);
    }

    const auto runsFor = [](const TCase& c) {
        return c.File.size() > 4'000'000 || c.Name.find("3000") != std::string::npos ? 7 : 25;
    };
    std::map<std::string, double> pillow;
    {
        std::vector<std::string> big, small;
        for (const TCase& c : cases) (runsFor(c) == 7 ? big : small).push_back(c.Path);
        pillow = PillowTimes(big, 7);
        for (auto& [k, v] : PillowTimes(small, 25)) pillow[k] = v;
    }

    std::printf("%-26s %9s %10s | %9s %7s | %9s %7s | %9s %7s | %9s %7s | %s\n", "picture", "bytes", "quillet ms",
                "giflib", "ratio", "stb", "ratio", "libtiff", "ratio", "Pillow", "ratio", "fastest peer ratio");
    for (const TCase& c : cases) {
        const int runs = runsFor(c);
        std::vector<std::pair<std::string, std::function<void()>>> decoders;
        if (c.Gif)
            decoders.emplace_back("Quillet", [&] { QuilletDecode<quillet::TGIFGraphic>(c.File); });
        else
            decoders.emplace_back("Quillet", [&] { QuilletDecode<quillet::TTIFFGraphic>(c.File); });
#ifdef QUILLET_HAVE_GIFLIB
        if (c.Gif) decoders.emplace_back("giflib", [&] { GiflibDecode(c.File); });
#endif
#ifdef QUILLET_HAVE_STB
        if (c.Gif) decoders.emplace_back("stb", [&] { StbDecode(c.File); });
#endif
#ifdef QUILLET_HAVE_LIBTIFF
        if (!c.Gif) decoders.emplace_back("libtiff", [&] { LibtiffDecode(c.File); });
#endif
        std::map<std::string, double> peers;
        try {
            peers = BestMs(runs, decoders);
        } catch (const quillet::Exception& e) {
            std::printf("%-26s failed: %s\n", c.Name.c_str(), e.what());
            continue;
        }
        const double quillet = peers["Quillet"];
        // The same pixels as the peer's own decode?
        const char* check = "";
        {
            Bytes ours, theirs;
            if (c.Gif)
                QuilletDecode<quillet::TGIFGraphic>(c.File, &ours);
            else
                QuilletDecode<quillet::TTIFFGraphic>(c.File, &ours);
#ifdef QUILLET_HAVE_GIFLIB
            if (c.Gif) GiflibDecode(c.File, &theirs);
#endif
#ifdef QUILLET_HAVE_LIBTIFF
            if (!c.Gif) LibtiffDecode(c.File, &theirs);
#endif
            if (!theirs.empty()) check = ours == theirs ? "  (same pixels)" : "  PIXELS DIFFER";
        }
        if (auto it = pillow.find(c.Path); it != pillow.end()) peers["Pillow"] = it->second;

        std::printf("%-26s %9zu %10.2f", c.Name.c_str(), c.File.size(), quillet);
        double fastest = 1e30;
        std::vector<std::pair<std::string, double>> ratios;
        for (const char* peer : {"giflib", "stb", "libtiff", "Pillow"}) {
            if (auto it = peers.find(peer); it != peers.end()) {
                std::printf(" | %9.2f %7.2f", it->second, it->second / quillet);
                ratios.emplace_back(peer, it->second / quillet);
                fastest = std::min(fastest, it->second);
            } else {
                std::printf(" | %9s %7s", "-", "-");
            }
        }
        if (fastest < 1e30) std::printf(" | %.2f", fastest / quillet);
        std::printf("%s\n", check);
        for (const auto& [peer, ratio] : ratios) quillet::bench::PrintRatio("decode " + c.Name, peer, ratio);
    }
    if (keep == nullptr) std::filesystem::remove_all(folder);
    return 0;
}
