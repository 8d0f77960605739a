// Kodak Photo-CD image packs. A pack holds the photograph at several sizes; the three
// smallest are stored uncompressed at fixed offsets from the pack's start, each as blocks
// of two luma rows followed by one row of each chroma at half the width. Chroma is shared
// by the two rows of a block and spread to full size between neighbouring samples.
#include "imaging/readers/pcd.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPCDGraphic, &TBitmap::Class)

namespace {

constexpr char kWrongFormat[] = "PCD: wrong image format.";
constexpr char kSizeNotSupported[] = "PCD: image size currently not supported";

constexpr char kSignature[] = "PCD_IPI";
constexpr int64_t kSignatureOffset = 2048;
constexpr int64_t kRotationOffset = 194635;
constexpr int kMaxWidth = 768;

struct StoredImage {
    int Width, Height;
    int64_t Offset;
};
constexpr StoredImage kStoredImages[] = {{192, 128, 8192}, {384, 256, 47104}, {768, 512, 196608}};

// Nearest integer with halves to the even neighbour, whatever the rounding mode is;
// clamped to a byte.
uint8_t RoundToByte(long double v)
{
    if (v <= 0) return 0;
    if (v >= 255) return 255;
    const int whole = int(v);
    const long double fraction = v - whole;  // exact: whole is v without its fraction
    return uint8_t(whole + (fraction > 0.5L || (fraction == 0.5L && (whole & 1) != 0) ? 1 : 0));
}

// The products of the conversion for every byte value, in extended precision; a sum of
// them is what the formula computes term by term.
struct YccTerms {
    long double Luma[256], RedC2[256], GreenC2[256], GreenC1[256], BlueC1[256];
    YccTerms()
    {
        for (int i = 0; i < 256; ++i) {
            Luma[i] = 1.3584L * i;
            RedC2[i] = 1.8215L * (i - 137);
            GreenC2[i] = 0.9271435L * (i - 137);
            GreenC1[i] = 0.4302726L * (i - 156);
            BlueC1[i] = 2.2179L * (i - 156);
        }
    }
};

// One PhotoYCC pixel to blue, green, red.
void YccToBgr(const YccTerms& t, int y, int c1, int c2, uint8_t* out)
{
    const long double luma = t.Luma[y];
    out[2] = RoundToByte(luma + t.RedC2[c2]);
    out[1] = RoundToByte(luma - t.GreenC2[c2] - t.GreenC1[c1]);
    out[0] = RoundToByte(luma + t.BlueC1[c1]);
}

// Spreads the half-width chroma a (this block) and b (the next) over the block's two
// rows; both carry a spare sample at [half] that repeats the last one.
void Upsample(const uint8_t* a, const uint8_t* b, int half, uint8_t* rowA, uint8_t* rowB)
{
    for (int j = 0; j < half; ++j) {
        rowA[2 * j] = a[j];
        rowA[2 * j + 1] = uint8_t((a[j] + a[j + 1]) / 2);
        rowB[2 * j] = uint8_t((a[j] + b[j]) / 2);
        rowB[2 * j + 1] = uint8_t((a[j] + a[j + 1] + b[j] + b[j + 1]) / 4);
    }
}

}  // namespace

void TPCDGraphic::WriteImage(TStream&) {}

void TPCDGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    FBaseOffset = Stream.Position();

    char signature[7];
    Stream.SetPosition(FBaseOffset + kSignatureOffset);
    Stream.ReadBuffer(signature, 7);
    if (std::memcmp(signature, kSignature, 7) != 0) throw Exception(kWrongFormat);

    uint8_t rotation = 0;
    Stream.SetPosition(FBaseOffset + kRotationOffset);
    Stream.ReadBuffer(&rotation, 1);
    rotation &= 3;  // the other bits say nothing about the picture's turn

    SetPixelFormat(TPixelFormat::pf24bit);
    if (FResolution > 2) throw Exception(kSizeNotSupported);
    const StoredImage& image = kStoredImages[FResolution];
    const int w = image.Width, h = image.Height, half = w / 2;
    const bool turned = rotation == 1 || rotation == 3;
    SetWidth(turned ? h : w);
    SetHeight(turned ? w : h);

    // A block: luma rows A and B, then chroma 1 and chroma 2; each chroma buffer keeps one
    // spare sample.
    uint8_t block[3 * kMaxWidth];
    uint8_t a1[kMaxWidth / 2 + 1], a2[kMaxWidth / 2 + 1], b1[kMaxWidth / 2 + 1], b2[kMaxWidth / 2 + 1];
    uint8_t c1A[kMaxWidth], c1B[kMaxWidth], c2A[kMaxWidth], c2B[kMaxWidth];
    uint8_t pixelsA[3 * kMaxWidth], pixelsB[3 * kMaxWidth];
    const int64_t start = FBaseOffset + image.Offset;
    static const YccTerms terms;

    // Every read is exact: a pack shorter than its image fails with the stream's read
    // error, keeping the size and the rows converted before the block that was cut.
    for (int r = 0; r < h; r += 2) {
        const int64_t k = r / 2;
        Stream.SetPosition(start + k * 3 * w);
        Stream.ReadBuffer(block, 3 * w);
        const uint8_t* lumaA = block;
        const uint8_t* lumaB = block + w;
        std::memcpy(a1, block + 2 * w, size_t(half));
        std::memcpy(a2, block + 2 * w + half, size_t(half));
        if (r < h - 2) {
            // The second row's chroma lies between this block's and the next one's.
            Stream.SetPosition(start + (k + 1) * 3 * w + 2 * w);
            Stream.ReadBuffer(b1, half);
            Stream.ReadBuffer(b2, half);
        } else {
            std::memcpy(b1, a1, size_t(half));
            std::memcpy(b2, a2, size_t(half));
        }
        a1[half] = a1[half - 1];
        a2[half] = a2[half - 1];
        b1[half] = b1[half - 1];
        b2[half] = b2[half - 1];
        Upsample(a1, b1, half, c1A, c1B);
        Upsample(a2, b2, half, c2A, c2B);
        for (int x = 0; x < w; ++x) {
            YccToBgr(terms, lumaA[x], c1A[x], c2A[x], pixelsA + 3 * x);
            YccToBgr(terms, lumaB[x], c1B[x], c2B[x], pixelsB + 3 * x);
        }

        switch (rotation) {
        case 0:
        case 2:
            std::memcpy(ScanLine(rotation == 0 ? r : h - 1 - r), pixelsA, size_t(3 * w));
            std::memcpy(ScanLine(rotation == 0 ? r + 1 : h - 2 - r), pixelsB, size_t(3 * w));
            break;
        default:
            // A file column becomes a bitmap row: a quarter turn counter-clockwise (1) or
            // rows and columns exchanged (3).
            for (int x = 0; x < w; ++x) {
                uint8_t* row = ScanLine(rotation == 1 ? w - 1 - x : x);
                std::memcpy(row + 3 * r, pixelsA + 3 * x, 3);
                std::memcpy(row + 3 * (r + 1), pixelsB + 3 * x, 3);
            }
            break;
        }
    }
}

}  // namespace quillet
