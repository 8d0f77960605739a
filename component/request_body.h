// The request body of a multipart/form-data post, held whole, and the lookups that answer
// form-field questions by scanning it.
//
// The scans do not parse headers: every part starts at an occurrence of the boundary (the
// body's first line without its CR) and its name, file name and data lie at fixed
// distances from it:
//   boundary + length           CR LF
//   then 38 bytes               Content-Disposition: form-data; name="
//   boundary + length + 40      the name, at least one byte, ended by a quote at a
//   a + 1 .. a + 4              text part: CR LF CR LF; its value from a + 5 up to the
//                               CR LF before the next boundary
//   a + 1                       file part: ';', then ` filename="` and the file name from
//                               a + 13 up to a quote; the content follows the first blank
//                               line and ends at the CR LF before the next boundary
// Positions are 0-based 32-bit signed indices, -1 meaning not found. No scan reads outside
// the bytes held, whatever the body says.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/com/variant.h"

namespace quillet {

class TStream;

class TRequestBody {
public:
    /// Takes the bytes the host's read returned (an array of bytes, or an empty value) and
    /// the byte count the host reported, which bounds every scan. A body that is empty or
    /// has no CR after its first byte has no boundary line: every lookup finds nothing.
    void Assign(TVariant bytes, int32_t reportedSize);
    /// Empties the body: every later lookup finds nothing.
    void Clear();

    /// The byte count the host reported.
    int32_t BodySize() const { return FBodySize; }
    /// The bytes held.
    std::span<const uint8_t> Body() const { return VariantBytes(FBytes.Value()); }
    /// The body's first line without its CR (empty when there is no boundary line).
    std::span<const uint8_t> Boundary() const { return {FData, size_t(FBoundaryLength)}; }
    int32_t BoundaryLength() const { return FBoundaryLength; }

    /// The next boundary at or after start that has at least one byte after it, or -1.
    int32_t FindBoundary(int32_t start) const;
    /// The position of the quote that closes the name of the first part called name
    /// (ASCII letters match either case), or -1.
    int32_t FindField(std::string_view name) const;
    /// A text part's value, or a file part's file name; empty when there is none.
    std::string FieldText(std::string_view name) const;
    /// Copies a file part's content into stream followed by one zero byte (nothing for an
    /// empty content) and puts the stream at 0. False when the part is missing, its file
    /// name is empty or its blank line is missing; a content without a boundary after it
    /// raises the memory stream's "Out of memory while expanding memory stream".
    bool FieldContent(std::string_view name, TStream& stream) const;
    /// The file name of the part after its last backslash.
    std::string FileName(std::string_view name) const;
    /// The extension of FieldText(name), dot included; empty when it has none.
    std::string ExtName(std::string_view name) const;

private:
    // The first quote at or after from, within the scan bound, or -1.
    int32_t FindQuote(int64_t from) const;

    TVariant FBytes;                // holds the body once; the lookups read it in place
    const uint8_t* FData = nullptr;
    int32_t FBodySize = 0;
    int32_t FLength = 0;            // the scan bound: the reported count, within the bytes held
    int32_t FBoundaryLength = 0;
};

}  // namespace quillet
