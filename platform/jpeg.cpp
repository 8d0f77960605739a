// JPEG images through libjpeg-turbo's libjpeg 6b interface.
//
// libjpeg reports a failure by calling the error manager's error_exit, which must not
// return. Ours records libjpeg's message code and longjmps back into the C-style function
// that made the call (ReadHeader, Decompress, Compress). Between their setjmp and the
// libjpeg calls these functions keep no C++ object with a destructor alive and call only
// helpers that cannot throw, so the jump skips nothing. They free libjpeg's state and
// return; their C++ callers then throw "JPEG error #%d" with the code. Nothing is printed.
#include "platform/jpeg.h"

#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t
#include <cstdlib>
#include <exception>

#include <jerror.h>
#include <jpeglib.h>

#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TJPEGImage, nullptr)

namespace {

constexpr int kQuality = 90;
constexpr int kGreyColors = 236;
// A progressive image is decoded over all of its scans; a file made of many tiny scans
// would keep the decoder busy for a long time on little input.
constexpr int kMaxScans = 500;
// Failures that are not libjpeg's, in TErrorManager::Code.
constexpr int kTooManyScans = -1;
constexpr int kHelperFailed = -2;
constexpr size_t kOutputChunk = 64 * 1024;

struct TErrorManager {
    jpeg_error_mgr Base;  // first: libjpeg's pointer to it is a pointer to the whole
    jmp_buf Jump;
    int Code;
};

void ErrorExit(j_common_ptr info)
{
    auto* error = reinterpret_cast<TErrorManager*>(info->err);
    error->Code = error->Base.msg_code;
    longjmp(error->Jump, 1);
}

void OutputMessage(j_common_ptr) {}  // warnings about damaged data are not printed

jpeg_error_mgr* InstallErrorManager(TErrorManager& error)
{
    jpeg_std_error(&error.Base);
    error.Base.error_exit = ErrorExit;
    error.Base.output_message = OutputMessage;
    error.Code = 0;
    return &error.Base;
}

void CountScans(j_common_ptr info)
{
    if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number <= kMaxScans) return;
    auto* error = reinterpret_cast<TErrorManager*>(info->err);
    error->Code = kTooManyScans;
    longjmp(error->Jump, 1);
}

[[noreturn]] void Raise(int code, const std::exception_ptr& failure)
{
    if (failure) std::rethrow_exception(failure);
    if (code == kTooManyScans) throw Exception(Fmt(kJpegTooManyScans, kMaxScans));
    throw Exception(Fmt(kJpegError, code));
}

// --- Decoding ----------------------------------------------------------------

struct TDecodeJob {
    jpeg_decompress_struct Info;
    TErrorManager Error;
    jpeg_progress_mgr Progress;
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    TBitmap* Dest = nullptr;        // null: the header only
    std::exception_ptr Failure;     // what a helper raised
};

// The bitmap for the decoded rows; the size passes the pixel limit before anything of
// that size is allocated, here or by libjpeg.
bool PrepareBitmap(TDecodeJob& job, bool grey) noexcept
{
    try {
        TBitmap::CheckSize(job.Info.image_width, job.Info.image_height);
        TBitmap& dest = *job.Dest;
        dest.SetHandle(nullptr);
        dest.SetPixelFormat(grey ? TPixelFormat::pf8bit : TPixelFormat::pf24bit);
        dest.SetSize(int(job.Info.image_width), int(job.Info.image_height));
        return true;
    } catch (...) {
        job.Failure = std::current_exception();
        return false;
    }
}

// libjpeg's colour map of a quantised greyscale image becomes the palette.
bool SetColormap(TDecodeJob& job) noexcept
{
    try {
        TMaxLogPalette logPalette;
        const int count = std::min(job.Info.actual_number_of_colors, kMaxPaletteEntries);
        logPalette.palNumEntries = uint16_t(count);
        for (int i = 0; i < count; ++i) {
            const uint8_t v = job.Info.colormap[0][i];
            logPalette.palPalEntry[i] = {v, v, v, 0};
        }
        job.Dest->SetPalette(CreatePalette(logPalette));
        return true;
    } catch (...) {
        job.Failure = std::current_exception();
        return false;
    }
}

inline uint8_t Mul255(unsigned a, unsigned b)
{
    const unsigned t = a * b + 128;
    return uint8_t((t + (t >> 8)) >> 8);
}

// CMYK to B, G, R by the ink that each channel leaves off. Files with an Adobe marker
// (all YCCK files among them) store the channels inverted, 255 meaning no ink.
void CmykToBgr(const uint8_t* in, uint8_t* out, size_t width, bool inverted) noexcept
{
    for (size_t x = 0; x < width; ++x, in += 4, out += 3) {
        unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[0] = Mul255(y, k);
        out[1] = Mul255(m, k);
        out[2] = Mul255(c, k);
    }
}

// Returns false on failure, the reason in job->Error.Code or job->Failure.
bool Decompress(TDecodeJob* job)
{
    j_decompress_ptr info = &job->Info;
    info->err = InstallErrorManager(job->Error);
    if (setjmp(job->Error.Jump)) {
        jpeg_destroy_decompress(info);
        return false;
    }
    jpeg_create_decompress(info);
    job->Progress = {};
    job->Progress.progress_monitor = CountScans;
    info->progress = &job->Progress;
    jpeg_mem_src(info, job->Data, static_cast<unsigned long>(job->Size));
    jpeg_read_header(info, TRUE);
    if (job->Dest == nullptr) {
        jpeg_destroy_decompress(info);
        return true;
    }

    info->dct_method = JDCT_FLOAT;
    info->do_block_smoothing = TRUE;
    const bool grey = info->jpeg_color_space == JCS_GRAYSCALE;
    const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    if (grey) {
        info->out_color_space = JCS_GRAYSCALE;
        info->quantize_colors = TRUE;
        info->desired_number_of_colors = kGreyColors;
    } else {
        info->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;  // the bitmap's byte order
    }
    if (!PrepareBitmap(*job, grey)) {
        job->Error.Code = kHelperFailed;
        jpeg_destroy_decompress(info);
        return false;
    }
    jpeg_start_decompress(info);
    if (grey && !SetColormap(*job)) {
        job->Error.Code = kHelperFailed;
        jpeg_destroy_decompress(info);
        return false;
    }

    JSAMPARRAY cmykRow = cmyk ? (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
                                                           info->output_width * 4, 1)
                              : nullptr;
    uint8_t* const bits = job->Dest->Bits();
    const size_t stride = job->Dest->Stride();
    while (info->output_scanline < info->output_height) {
        uint8_t* row = bits + size_t(info->output_scanline) * stride;
        JSAMPROW target = cmyk ? cmykRow[0] : row;
        if (jpeg_read_scanlines(info, &target, 1) != 1) break;
        if (cmyk) CmykToBgr(cmykRow[0], row, info->output_width, info->saw_Adobe_marker);
    }
    jpeg_finish_decompress(info);
    jpeg_destroy_decompress(info);
    return true;
}

// --- Encoding ----------------------------------------------------------------

// Compressed bytes collect in a malloc'ed buffer that the job owns, also after a failure.
struct TMemoryDestination {
    jpeg_destination_mgr Base;  // first, as for the error manager
    unsigned char* Buffer;
    size_t Capacity;
    size_t Size;
};

void InitDestination(j_compress_ptr info)
{
    auto* dest = reinterpret_cast<TMemoryDestination*>(info->dest);
    dest->Buffer = static_cast<unsigned char*>(std::malloc(kOutputChunk));
    if (dest->Buffer == nullptr) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    dest->Capacity = kOutputChunk;
    dest->Base.next_output_byte = dest->Buffer;
    dest->Base.free_in_buffer = dest->Capacity;
}

boolean EmptyOutputBuffer(j_compress_ptr info)
{
    // libjpeg calls this when the whole buffer is full.
    auto* dest = reinterpret_cast<TMemoryDestination*>(info->dest);
    const size_t capacity = dest->Capacity * 2;
    auto* grown = static_cast<unsigned char*>(std::realloc(dest->Buffer, capacity));
    if (grown == nullptr) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    dest->Buffer = grown;
    dest->Base.next_output_byte = grown + dest->Capacity;
    dest->Base.free_in_buffer = capacity - dest->Capacity;
    dest->Capacity = capacity;
    return TRUE;
}

void TermDestination(j_compress_ptr info)
{
    auto* dest = reinterpret_cast<TMemoryDestination*>(info->dest);
    dest->Size = dest->Capacity - dest->Base.free_in_buffer;
}

struct TEncodeJob {
    jpeg_compress_struct Info;
    TErrorManager Error;
    TMemoryDestination Dest = {};
    const TBitmap* Source = nullptr;  // 24 bits per pixel
};

bool Compress(TEncodeJob* job)
{
    j_compress_ptr info = &job->Info;
    info->err = InstallErrorManager(job->Error);
    if (setjmp(job->Error.Jump)) {
        jpeg_destroy_compress(info);
        return false;
    }
    jpeg_create_compress(info);
    job->Dest.Base.init_destination = InitDestination;
    job->Dest.Base.empty_output_buffer = EmptyOutputBuffer;
    job->Dest.Base.term_destination = TermDestination;
    info->dest = &job->Dest.Base;

    info->image_width = JDIMENSION(job->Source->Width());
    info->image_height = JDIMENSION(job->Source->Height());
    info->input_components = 3;
    info->in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(info);
    info->dct_method = JDCT_FLOAT;
    jpeg_set_quality(info, kQuality, TRUE);  // baseline tables
    jpeg_start_compress(info, TRUE);
    const uint8_t* const bits = job->Source->Bits();
    const size_t stride = job->Source->Stride();
    while (info->next_scanline < info->image_height) {
        JSAMPROW row = const_cast<uint8_t*>(bits + size_t(info->next_scanline) * stride);
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
    jpeg_destroy_compress(info);
    return true;
}

struct FreeBuffer {
    void operator()(unsigned char* p) const { std::free(p); }
};

}  // namespace

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

int TJPEGImage::Width() const { return FWidth; }
int TJPEGImage::Height() const { return FHeight; }

void TJPEGImage::ReadImage(TStream& stream)
{
    // A JPEG stream has no length of its own: everything from here on is its data.
    std::vector<uint8_t> data(size_t(std::max<int64_t>(0, stream.Size() - stream.Position())));
    stream.ReadBuffer(data.data(), int64_t(data.size()));
    TDecodeJob job;
    job.Data = data.data();
    job.Size = data.size();
    if (!Decompress(&job)) Raise(job.Error.Code, job.Failure);
    FData = std::move(data);
    FBitmap.reset();
    FWidth = int(std::min<JDIMENSION>(job.Info.image_width, INT32_MAX));
    FHeight = int(std::min<JDIMENSION>(job.Info.image_height, INT32_MAX));
}

void TJPEGImage::WriteImage(TStream& stream)
{
    if (FData.empty() && FBitmap) {
        TEncodeJob job;
        job.Source = FBitmap.get();
        const bool done = Compress(&job);
        const std::unique_ptr<unsigned char, FreeBuffer> buffer(job.Dest.Buffer);
        if (!done) Raise(job.Error.Code, nullptr);
        FData.assign(buffer.get(), buffer.get() + job.Dest.Size);
    }
    stream.WriteBuffer(FData.data(), int64_t(FData.size()));
}

void TJPEGImage::AssignTo(TBitmap& dest) const
{
    if (FBitmap) {
        dest.CopyFrom(*FBitmap);
        return;
    }
    dest.SetHandle(nullptr);
    if (FData.empty()) return;
    TDecodeJob job;
    job.Data = FData.data();
    job.Size = FData.size();
    job.Dest = &dest;
    if (!Decompress(&job)) {
        dest.SetHandle(nullptr);  // no half-decoded picture
        Raise(job.Error.Code, job.Failure);
    }
}

void TJPEGImage::CopyFrom(const TBitmap& source)
{
    auto copy = std::make_unique<TBitmap>();
    copy->CopyFrom(source);
    copy->SetPixelFormat(TPixelFormat::pf24bit);
    FBitmap = std::move(copy);
    FData.clear();
    FWidth = FBitmap->Width();
    FHeight = FBitmap->Height();
}

}  // namespace quillet
