// The Windows bitmap reader and writer and the JPEG image, timed beside libjpeg called
// directly with the same settings and beside stb_image, on 2048 x 1536 pictures made here.
// Each figure is the best of several runs, in milliseconds per picture; a ratio (peer time /
// Quillet time) above 1 means Quillet was faster.
#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "bench/report.h"
#include "platform/bitmap.h"
#include "platform/jpeg.h"
#include "platform/stream.h"

#if QUILLET_HAVE_STB
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#endif

namespace {

using namespace quillet;

constexpr int kWidth = 2048;
constexpr int kHeight = 1536;

double BestMs(int runs, const std::function<void()>& work)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// Quillet and its peer in turns, so that a busy moment of the machine hits both alike.
std::pair<double, double> BestOfBoth(int runs, const std::function<void()>& ours, const std::function<void()>& peer)
{
    double a = 1e300, b = 1e300;
    for (int i = 0; i < runs; ++i) {
        a = std::min(a, BestMs(1, ours));
        b = std::min(b, BestMs(1, peer));
    }
    return {a, b};
}

void Report(const char* what, double quillet, const char* peer, double peerMs)
{
    if (peerMs > 0) {
        std::printf("%-34s Quillet %8.2f ms   %-22s %8.2f ms   ratio %.2f\n", what, quillet, peer, peerMs,
                    peerMs / quillet);
        bench::PrintRatio(what, peer, peerMs / quillet);
    } else
        std::printf("%-34s Quillet %8.2f ms\n", what, quillet);
}

// Smooth colour ramps with a little noise, like a photograph to a JPEG coder.
void Photo(TBitmap& b)
{
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(kWidth, kHeight);
    uint32_t seed = 7;
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* p = b.ScanLine(y);
        for (int x = 0; x < kWidth; ++x, p += 3) {
            seed = seed * 1664525 + 1013904223;
            p[0] = uint8_t((x >> 3) + (seed >> 29));
            p[1] = uint8_t((y >> 3) + (seed >> 30));
            p[2] = uint8_t(((x + y) >> 4) ^ (seed >> 31));
        }
    }
}

// Indexed stripes: long runs for the run-length coder.
void Stripes(TBitmap& b)
{
    b.SetPixelFormat(TPixelFormat::pf8bit);
    b.SetSize(kWidth, kHeight);
    TMaxLogPalette lp;
    lp.palNumEntries = 256;
    for (int i = 0; i < 256; ++i) lp.palPalEntry[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
    b.SetPalette(CreatePalette(lp));
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) b.ScanLine(y)[x] = uint8_t((x / 37 + y / 11) & 0xFF);
}

std::vector<uint8_t> WriteBmp(TBitmap& b)
{
    TMemoryStream stream;
    b.WriteImage(stream);
    return std::vector<uint8_t>(stream.Memory(), stream.Memory() + stream.Size());
}

// The same 8-bit picture as BI_RLE8: runs of up to 255, an end of row after each row.
std::vector<uint8_t> Rle8(const std::vector<uint8_t>& plain)
{
    const uint32_t offBits = plain[10] | plain[11] << 8 | plain[12] << 16 | uint32_t(plain[13]) << 24;
    std::vector<uint8_t> out(plain.begin(), plain.begin() + offBits);
    const size_t stride = (kWidth + 3) & ~3;
    for (int y = 0; y < kHeight; ++y) {
        const uint8_t* row = plain.data() + offBits + size_t(y) * stride;
        for (int x = 0; x < kWidth;) {
            int n = 1;
            while (x + n < kWidth && n < 255 && row[x + n] == row[x]) ++n;
            out.push_back(uint8_t(n));
            out.push_back(row[x]);
            x += n;
        }
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(1);
    out[30] = 1;  // BI_RLE8
    return out;
}

void ReadBmp(const std::vector<uint8_t>& file)
{
    TMemoryViewStream stream(file.data(), file.size());
    TBitmap b;
    b.ReadImage(stream);
}

// libjpeg directly, with the settings the JPEG image uses.
struct TBenchError {
    jpeg_error_mgr Base;
    jmp_buf Jump;
};

// Into a new buffer each time, as a decode into a new bitmap.
void LibjpegDecode(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> pixels;
    jpeg_decompress_struct info;
    TBenchError error;
    info.err = jpeg_std_error(&error.Base);
    error.Base.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<TBenchError*>(c->err)->Jump, 1); };
    if (setjmp(error.Jump)) {
        jpeg_destroy_decompress(&info);
        std::abort();
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    info.dct_method = JDCT_FLOAT;
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    pixels.resize(size_t(info.output_width) * 3 * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + size_t(info.output_scanline) * info.output_width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
}

size_t LibjpegEncode(const TBitmap& b)
{
    jpeg_compress_struct info;
    TBenchError error;
    info.err = jpeg_std_error(&error.Base);
    error.Base.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<TBenchError*>(c->err)->Jump, 1); };
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (setjmp(error.Jump)) {
        jpeg_destroy_compress(&info);
        std::abort();
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = JDIMENSION(b.Width());
    info.image_height = JDIMENSION(b.Height());
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    info.dct_method = JDCT_FLOAT;
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(b.ScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::free(out);
    return size;
}

}  // namespace

int main()
{
    const int kRuns = 15;
    TBitmap photo, stripes;
    Photo(photo);
    Stripes(stripes);
    const std::vector<uint8_t> bmp24 = WriteBmp(photo), bmp8 = WriteBmp(stripes), rle8 = Rle8(bmp8);
    std::printf("pictures %d x %d: 24-bit bmp %zu bytes, 8-bit %zu, RLE8 %zu\n", kWidth, kHeight, bmp24.size(),
                bmp8.size(), rle8.size());

    double peer = 0;
#if QUILLET_HAVE_STB
    auto stbLoad = [](const std::vector<uint8_t>& file) {
        int w = 0, h = 0, n = 0;
        stbi_uc* p = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 0);
        if (p == nullptr) std::abort();
        stbi_image_free(p);
    };
    peer = BestMs(kRuns, [&] { stbLoad(bmp24); });
#endif
    Report("bmp read, 24 bits", BestMs(kRuns, [&] { ReadBmp(bmp24); }), "stb_image", peer);
#if QUILLET_HAVE_STB
    peer = BestMs(kRuns, [&] { stbLoad(bmp8); });  // stb_image expands the indices to RGB
#endif
    Report("bmp read, 8 bits (stb: to RGB)", BestMs(kRuns, [&] { ReadBmp(bmp8); }), "stb_image", peer);
    Report("bmp read, RLE8", BestMs(kRuns, [&] { ReadBmp(rle8); }), "", 0);
#if QUILLET_HAVE_STB
    peer = BestMs(kRuns, [&] {
        size_t written = 0;
        stbi_write_bmp_to_func([](void* c, void*, int n) { *static_cast<size_t*>(c) += size_t(n); }, &written,
                               kWidth, kHeight, 3, photo.Bits());
    });
#endif
    Report("bmp write, 24 bits", BestMs(kRuns, [&] { WriteBmp(photo); }), "stb_image_write", peer);

    TJPEGImage jpeg;
    jpeg.CopyFrom(photo);
    TMemoryStream jpegData;
    jpeg.WriteImage(jpegData);
    const std::vector<uint8_t> jpg(jpegData.Memory(), jpegData.Memory() + jpegData.Size());
    std::printf("jpeg of the photo: %zu bytes\n", jpg.size());
    const auto decode = BestOfBoth(
        kRuns,
        [&] {
            TMemoryViewStream stream(jpg.data(), jpg.size());
            TJPEGImage j;
            j.ReadImage(stream);
            TBitmap b;
            b.CopyFrom(j);
        },
        [&] { LibjpegDecode(jpg); });
    Report("jpeg decode, float DCT", decode.first, "libjpeg direct", decode.second);
    const auto encode = BestOfBoth(
        kRuns,
        [&] {
            TJPEGImage j;
            j.CopyFrom(photo);
            TMemoryStream out;
            j.WriteImage(out);
        },
        [&] { LibjpegEncode(photo); });
    Report("jpeg encode, q90 float DCT", encode.first, "libjpeg direct", encode.second);
    Report("  of which the 24-bit copy", BestMs(kRuns, [&] {
               TJPEGImage j;
               j.CopyFrom(photo);
           }),
           "", 0);
    return 0;
}
