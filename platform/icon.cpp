// Windows icon files, little-endian: a 6-byte header (0, type 1, number of images), one
// 16-byte directory entry per image (width, height, colours, reserved, planes, bit count,
// byte size, offset), then the images, each a Windows bitmap without its file header or a
// PNG file. Icons are held as the bytes that were loaded and written back unchanged; nothing
// here draws them.
#include "platform/icon.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TIcon, nullptr)

namespace {

constexpr int64_t kHeaderSize = 6;
constexpr int64_t kEntrySize = 16;
constexpr uint16_t kTypeIcon = 1;
constexpr uint8_t kPngSignature[4] = {0x89, 'P', 'N', 'G'};

[[noreturn]] void NotValid() { throw Exception(kIconInvalid); }

// An image starts with a bitmap info header (its size first) or the PNG signature.
bool KnownImageStart(const uint8_t* p)
{
    const uint32_t headerSize = GetLE32(p);
    return headerSize == 12 || headerSize == 40 || headerSize == 108 || headerSize == 124 ||
           std::memcmp(p, kPngSignature, sizeof kPngSignature) == 0;
}

}  // namespace

void TIcon::ReadImage(TStream& stream)
{
    const int64_t start = stream.Position();
    const int64_t available = stream.Size() - start;
    if (available < kHeaderSize) NotValid();
    uint8_t header[kHeaderSize];
    stream.ReadBuffer(header, kHeaderSize);
    const int64_t count = GetLE16(header + 4);
    if (GetLE16(header) != 0 || GetLE16(header + 2) != kTypeIcon || count == 0) NotValid();
    const int64_t directoryEnd = kHeaderSize + count * kEntrySize;
    if (directoryEnd > available) NotValid();

    // Every image lies after the directory and inside the file; the icon ends with the
    // last of them.
    std::vector<uint8_t> data(static_cast<size_t>(available));
    std::memcpy(data.data(), header, kHeaderSize);
    stream.ReadBuffer(data.data() + kHeaderSize, available - kHeaderSize);
    int64_t end = directoryEnd;
    for (int64_t i = 0; i < count; ++i) {
        const uint8_t* entry = data.data() + kHeaderSize + i * kEntrySize;
        const int64_t size = GetLE32(entry + 8), offset = GetLE32(entry + 12);
        if (size < 4 || offset < directoryEnd || offset + size > available) NotValid();
        if (!KnownImageStart(data.data() + offset)) NotValid();
        end = std::max(end, offset + size);
    }
    data.resize(size_t(end));
    stream.SetPosition(start + end);

    const uint8_t* first = data.data() + kHeaderSize;
    FWidth = first[0] == 0 ? 256 : first[0];  // a size byte of 0 means 256
    FHeight = first[1] == 0 ? 256 : first[1];
    FData = std::move(data);
}

void TIcon::WriteImage(TStream& stream) { stream.WriteBuffer(FData.data(), int64_t(FData.size())); }

}  // namespace quillet
