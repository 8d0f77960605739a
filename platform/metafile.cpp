// Windows metafiles, little-endian. A Windows metafile (WMF) starts with its 18-byte header
// (type 1 or 2, header size 9 words, version 0x100 or 0x300), optionally preceded by a
// 22-byte placeable header (key 0x9AC6CDD7, handle, bounding box in logical units, units
// per inch, reserved, checksum). An enhanced metafile (EMF) starts with its header record:
// type 1, record size, bounds in device pixels, frame in 0.01 mm, the signature " EMF",
// version, file size, record and handle counts, description. Both kinds are held as the
// bytes that were loaded and written back unchanged, whatever name they are saved under:
// nothing here plays or converts them.
#include "platform/metafile.h"

#include <algorithm>

#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TMetafile, nullptr)

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr int64_t kPlaceableSize = 22;
constexpr int64_t kWmfHeaderSize = 18;
constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"
constexpr int64_t kEmfHeaderSize = 88;          // the record up to the device sizes
// Sizes are given in pixels of a display at 96 dots per inch.
constexpr int64_t kPixelsPerInch = 96;
constexpr int64_t kHundredthsMmPerInch = 2540;

[[noreturn]] void NotValid() { throw Exception(kMetafileInvalid); }

bool ValidWmfHeader(const uint8_t* p)
{
    const uint16_t type = GetLE16(p), words = GetLE16(p + 2), version = GetLE16(p + 4);
    return (type == 1 || type == 2) && words == 9 && (version == 0x0100 || version == 0x0300);
}

// A length in units of which perInch make an inch, in pixels (rounded); 0 when negative.
int ToPixels(int64_t length, int64_t perInch)
{
    if (length <= 0 || perInch <= 0) return 0;
    return int(std::min<int64_t>((length * kPixelsPerInch + perInch / 2) / perInch, INT32_MAX));
}

}  // namespace

void TMetafile::ReadImage(TStream& stream)
{
    const int64_t available = stream.Size() - stream.Position();
    if (available < kWmfHeaderSize) NotValid();
    std::vector<uint8_t> data(static_cast<size_t>(available));
    stream.ReadBuffer(data.data(), available);
    const uint8_t* p = data.data();

    bool enhanced = false;
    int width = 0, height = 0;
    if (GetLE32(p) == kPlaceableKey) {
        if (available < kPlaceableSize + kWmfHeaderSize || !ValidWmfHeader(p + kPlaceableSize)) NotValid();
        const auto left = int16_t(GetLE16(p + 6)), top = int16_t(GetLE16(p + 8));
        const auto right = int16_t(GetLE16(p + 10)), bottom = int16_t(GetLE16(p + 12));
        const int64_t perInch = GetLE16(p + 14);
        width = ToPixels(int64_t(right) - left, perInch);
        height = ToPixels(int64_t(bottom) - top, perInch);
    } else if (GetLE32(p) == 1 && available >= kEmfHeaderSize && GetLE32(p + 40) == kEmfSignature) {
        const int64_t recordSize = GetLE32(p + 4), fileSize = GetLE32(p + 48);
        const int64_t descriptionChars = GetLE32(p + 60), descriptionAt = GetLE32(p + 64);
        if (recordSize < kEmfHeaderSize || recordSize > fileSize || fileSize > available) NotValid();
        if (descriptionChars != 0 &&
            (descriptionAt < kEmfHeaderSize || descriptionAt + 2 * descriptionChars > recordSize))
            NotValid();
        const auto frameLeft = int32_t(GetLE32(p + 24)), frameTop = int32_t(GetLE32(p + 28));
        const auto frameRight = int32_t(GetLE32(p + 32)), frameBottom = int32_t(GetLE32(p + 36));
        width = ToPixels(int64_t(frameRight) - frameLeft, kHundredthsMmPerInch);
        height = ToPixels(int64_t(frameBottom) - frameTop, kHundredthsMmPerInch);
        enhanced = true;
    } else if (!ValidWmfHeader(p)) {
        NotValid();  // a plain WMF states no size: 0 x 0
    }
    FData = std::move(data);
    FEnhanced = enhanced;
    FWidth = width;
    FHeight = height;
}

void TMetafile::WriteImage(TStream& stream) { stream.WriteBuffer(FData.data(), int64_t(FData.size())); }

}  // namespace quillet
