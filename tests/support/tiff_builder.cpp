#include "tests/support/tiff_builder.h"

#include <algorithm>
#include <map>

#include "tests/support/lzw_coder.h"

namespace quillet::test {

namespace {

size_t TypeSize(uint16_t type)
{
    switch (type) {
    case kTiffByte:
    case kTiffAscii: return 1;
    case kTiffShort: return 2;
    case kTiffRational: return 8;
    default: return 4;
    }
}

void Put(Bytes& out, uint32_t value, size_t size, bool bigEndian)
{
    if (size == 1) {
        out.u8(value & 0xFF);
    } else if (size == 2) {
        bigEndian ? out.be16(value & 0xFFFF) : out.le16(value & 0xFFFF);
    } else {
        bigEndian ? out.be32(value) : out.le32(value);
    }
}

Bytes ValueBytes(const TTiffField& field, bool bigEndian)
{
    Bytes out;
    const size_t size = TypeSize(field.Type);
    for (uint32_t v : field.Values) {
        if (size == 8) {
            Put(out, v, 4, bigEndian);
            Put(out, 1, 4, bigEndian);
        } else {
            Put(out, v, size, bigEndian);
        }
    }
    return out;
}

}  // namespace

size_t TiffRowLength(const TTiff& tiff)
{
    return (size_t(tiff.Width) * tiff.BitsPerSample.at(0) * tiff.SamplesPerPixel + 7) / 8;
}

Bytes EncodePackBits(const std::vector<uint8_t>& data)
{
    Bytes out;
    size_t i = 0;
    while (i < data.size()) {
        size_t run = 1;
        while (i + run < data.size() && run < 128 && data[i + run] == data[i]) ++run;
        if (run >= 2) {
            out.u8(unsigned(257 - run) & 0xFF);  // -(run - 1)
            out.u8(data[i]);
            i += run;
            continue;
        }
        size_t literal = 1;
        while (i + literal < data.size() && literal < 128 &&
               !(i + literal + 1 < data.size() && data[i + literal] == data[i + literal + 1]))
            ++literal;
        out.u8(unsigned(literal - 1));
        out.insert(out.end(), data.begin() + std::ptrdiff_t(i), data.begin() + std::ptrdiff_t(i + literal));
        i += literal;
    }
    return out;
}

Bytes TiffFile(const TTiff& tiff)
{
    const bool be = tiff.BigEndian;
    const size_t rowLength = TiffRowLength(tiff);
    std::vector<uint8_t> pixels = tiff.Pixels;
    pixels.resize(rowLength * tiff.Height, 0);
    if (be && tiff.BitsPerSample.at(0) == 16)
        for (size_t k = 0; k + 1 < pixels.size(); k += 2) std::swap(pixels[k], pixels[k + 1]);
    if (tiff.Predictor) {
        // The reader adds bytes one stride apart (3 or 4 for those sample counts, else
        // 1) over stride x width bytes of each row.
        const size_t stride = tiff.SamplesPerPixel == 3 || tiff.SamplesPerPixel == 4 ? tiff.SamplesPerPixel : 1;
        const size_t span = std::min(rowLength, stride * tiff.Width);
        for (uint32_t y = 0; y < tiff.Height; ++y) {
            uint8_t* row = pixels.data() + y * rowLength;
            for (size_t k = span; k-- > stride;) row[k] = uint8_t(row[k] - row[k - stride]);
        }
    }

    const uint32_t rowsPerStrip = tiff.RowsPerStrip == 0 ? std::max<uint32_t>(tiff.Height, 1) : tiff.RowsPerStrip;
    std::vector<Bytes> strips;
    for (uint32_t y = 0; y < tiff.Height || strips.empty(); y += rowsPerStrip) {
        const size_t from = std::min(pixels.size(), size_t(y) * rowLength);
        const size_t to = std::min(pixels.size(), size_t(y + rowsPerStrip) * rowLength);
        const std::vector<uint8_t> raw(pixels.begin() + std::ptrdiff_t(from), pixels.begin() + std::ptrdiff_t(to));
        if (tiff.Compression == 5)
            strips.push_back(EncodeTIFFLZW(raw));
        else if (tiff.Compression == 32773)
            strips.push_back(EncodePackBits(raw));
        else
            strips.emplace_back(raw);
        if (tiff.Height == 0) break;
    }

    std::map<uint16_t, TTiffField> fields;
    const auto set = [&](uint16_t tag, uint16_t type, std::vector<uint32_t> values) {
        fields[tag] = {tag, type, std::move(values)};
    };
    set(256, kTiffLong, {tiff.Width});
    set(257, kTiffLong, {tiff.Height});
    set(258, kTiffShort, tiff.BitsPerSample);
    set(259, kTiffShort, {tiff.Compression});
    set(262, kTiffShort, {tiff.Photometric});
    set(273, tiff.StripTableType, std::vector<uint32_t>(strips.size(), 0));
    set(277, kTiffShort, {tiff.SamplesPerPixel});
    if (tiff.RowsPerStrip != 0) set(278, kTiffLong, {tiff.RowsPerStrip});
    std::vector<uint32_t> counts;
    for (const Bytes& s : strips) counts.push_back(uint32_t(s.size()));
    set(279, tiff.StripTableType, counts);
    if (tiff.Predictor) set(317, kTiffShort, {2});
    if (!tiff.ColorMap.empty()) set(320, kTiffShort, tiff.ColorMap);
    if (!tiff.ExtraSamples.empty()) set(338, kTiffShort, tiff.ExtraSamples);
    for (const TTiffField& f : tiff.Fields) fields[f.Tag] = f;
    for (uint16_t tag : tiff.Omit) fields.erase(tag);

    // Where everything goes: the directory at 8, the values that do not fit after it,
    // then the strips.
    const size_t directorySize = 2 + 12 * fields.size() + 4;
    size_t external = 8 + directorySize;
    std::map<uint16_t, size_t> valueOffsets;
    for (const auto& [tag, f] : fields) {
        const size_t size = TypeSize(f.Type) * f.Values.size();
        if (f.Values.size() != 1 && size > 4) {
            valueOffsets[tag] = external;
            external += (size + 1) & ~size_t(1);
        }
    }
    std::vector<uint32_t> stripOffsets;
    size_t at = external;
    for (const Bytes& s : strips) {
        stripOffsets.push_back(uint32_t(at));
        at += s.size();
    }
    if (fields.count(273) && tiff.Fields.end() == std::find_if(tiff.Fields.begin(), tiff.Fields.end(),
                                                               [](const TTiffField& f) { return f.Tag == 273; }))
        fields[273].Values = stripOffsets;

    Bytes out;
    const unsigned order = be ? 'M' : 'I';
    out.u8(order).u8(order);
    Put(out, 42, 2, be);
    Put(out, 8, 4, be);
    Put(out, uint32_t(fields.size()), 2, be);
    for (const auto& [tag, f] : fields) {
        Put(out, tag, 2, be);
        Put(out, f.Type, 2, be);
        Put(out, uint32_t(f.Values.size()), 4, be);
        if (auto it = valueOffsets.find(tag); it != valueOffsets.end()) {
            Put(out, uint32_t(it->second), 4, be);
        } else {
            Bytes inline4 = ValueBytes(f, be);
            inline4.resize(4, 0);  // left-justified in the field
            out.bytes(inline4);
        }
    }
    Put(out, 0, 4, be);  // no next directory
    for (const auto& [tag, offset] : valueOffsets) {
        out.resize(offset, 0);
        out.bytes(ValueBytes(fields[tag], be));
    }
    out.resize(external, 0);
    for (const Bytes& s : strips) out.bytes(s);
    return out;
}

}  // namespace quillet::test
