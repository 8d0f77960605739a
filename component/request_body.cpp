// The request body: its capture through the page host's Request object, and the multipart
// lookups that scan it at the fixed distances of the layout (see request_body.h).
#include "component/request_body.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "component/QuilletUnit.h"
#include "platform/com/dispatch.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

namespace {

constexpr char kNoScriptingContext[] = "No scripting context";
constexpr char kNoRequestObject[] = "The scripting context has no Request object";
constexpr char kNotBodyBytes[] = "BinaryRead returned a value of type %s, not an array of bytes";

// From the boundary: its CR LF (2 bytes) and `Content-Disposition: form-data; name="` (38).
constexpr int64_t kNameOffset = 40;
// From the name's closing quote: CR LF CR LF, then a text part's value.
constexpr int64_t kTextValueOffset = 5;
// From the name's closing quote: `; filename="`, then a file part's file name.
constexpr int64_t kFileNameOffset = 13;
// The CR LF between a part's data and the next boundary, and one byte more: the data ends
// 3 bytes before the boundary.
constexpr int64_t kDataEndGap = 3;

char FoldAscii(uint8_t c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// The first occurrence of needle (k >= 1 bytes) in h[0 .. n), or null.
//
// Candidates are the positions whose first and last bytes match the needle's, sixteen
// positions per step; only those are compared in full. A body can make most positions
// candidates (a run of one byte, a boundary of that byte): once the full comparisons have
// cost more than twice the bytes passed, the rest is left to memmem, whose time is linear
// in any input.
const uint8_t* FindBytes(const uint8_t* h, size_t n, const uint8_t* needle, size_t k)
{
    if (k == 0 || n < k) return nullptr;
    if (k == 1) return static_cast<const uint8_t*>(std::memchr(h, needle[0], n));
    const size_t last = n - k;  // the last start position
    size_t i = 0;
    size_t work = 0;
    const auto giveUp = [&](size_t at) { return work > 2 * at + 65536; };
    const auto rest = [&](size_t at) { return static_cast<const uint8_t*>(::memmem(h + at, n - at, needle, k)); };
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(char(needle[0]));
    const __m128i end = _mm_set1_epi8(char(needle[k - 1]));
    for (; i + 16 <= last + 1; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + k - 1));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, end))));
        while (mask != 0) {
            const size_t at = i + size_t(__builtin_ctz(mask));
            if (std::memcmp(h + at + 1, needle + 1, k - 2) == 0) return h + at;
            work += k;
            mask &= mask - 1;
        }
        if (giveUp(i)) return rest(i + 16);
    }
#endif
    for (; i <= last; ++i) {
        const void* hit = std::memchr(h + i, needle[0], last + 1 - i);
        if (hit == nullptr) return nullptr;
        i = size_t(static_cast<const uint8_t*>(hit) - h);
        if (h[i + k - 1] == needle[k - 1] && std::memcmp(h + i + 1, needle + 1, k - 2) == 0) return h + i;
        work += k;
        if (giveUp(i)) return rest(i + 1);
    }
    return nullptr;
}

}  // namespace

void TRequestBody::Assign(TVariant bytes, int32_t reportedSize)
{
    if ((bytes.Type() & VT_BYREF) != 0) {
        // The host's own variable: hold a copy of what it refers to.
        TVariant direct;
        if (FAILED(VariantCopyInd(direct.Ptr(), &bytes.Value()))) throw Exception(kOutOfMemory);
        bytes = std::move(direct);
    }
    FBytes = std::move(bytes);
    const std::span<const uint8_t> held = VariantBytes(FBytes.Value());
    FData = held.data();
    FBodySize = reportedSize;
    FLength = int32_t(std::min<int64_t>(std::max(reportedSize, 0), int64_t(held.size())));
    // The boundary line ends at the first CR after the first byte (which is never tested).
    FBoundaryLength = 0;
    if (FLength > 1)
        if (const void* cr = std::memchr(FData + 1, '\r', size_t(FLength - 1)))
            FBoundaryLength = int32_t(static_cast<const uint8_t*>(cr) - FData);
    // Without a boundary line nothing can be found.
    if (FBoundaryLength == 0) FLength = 0;
}

void TRequestBody::Clear()
{
    FBytes.Clear();
    FData = nullptr;
    FBodySize = 0;
    FLength = 0;
    FBoundaryLength = 0;
}

int32_t TRequestBody::FindBoundary(int32_t start) const
{
    // An occurrence counts only if at least one byte follows it: it starts before
    // FLength - FBoundaryLength, so it lies inside Body[p .. FLength - 2].
    const int64_t p = std::max(start, 0);
    if (FBoundaryLength == 0 || p >= int64_t(FLength) - FBoundaryLength) return -1;
    const uint8_t* hit = FindBytes(FData + p, size_t(FLength - 1 - p), FData, size_t(FBoundaryLength));
    return hit != nullptr ? int32_t(hit - FData) : -1;
}

int32_t TRequestBody::FindQuote(int64_t from) const
{
    if (from < 0 || from >= FLength) return -1;
    const void* hit = std::memchr(FData + from, '"', size_t(FLength - from));
    return hit != nullptr ? int32_t(static_cast<const uint8_t*>(hit) - FData) : -1;
}

int32_t TRequestBody::FindField(std::string_view name) const
{
    int64_t p = 0;
    // The first quote at or after the last name scan's start. Name starts only grow, so
    // while it lies at or after the next start it is still the first one there: a body of
    // many boundaries and one far quote is scanned once, not once per part.
    int64_t quote = -1;
    for (;;) {
        const int32_t b = FindBoundary(int32_t(p));
        if (b < 0) return -1;
        p = int64_t(b) + FBoundaryLength + kNameOffset;
        if (p + 1 >= FLength) return -1;
        if (quote < p + 1) quote = FindQuote(p + 1);
        if (quote < 0) return -1;  // a name without a closing quote: nothing after it can be found
        // The name is Body[p .. quote - 1]; Body[p] itself is never tested, so it has at
        // least one byte and an empty name never matches.
        const int64_t length = quote - p;
        if (length != int64_t(name.size())) continue;
        bool same = true;
        for (int64_t i = 0; i < length && same; ++i)
            same = FoldAscii(FData[p + i]) == FoldAscii(uint8_t(name[size_t(i)]));
        if (same) return int32_t(quote);
    }
}

std::string TRequestBody::FieldText(std::string_view name) const
{
    const int64_t a = FindField(name);
    if (a < 0) return {};
    int64_t i = 0, j = 0;
    if (a + 1 < FLength && FData[a + 1] == ';') {
        i = a + kFileNameOffset;
        j = int64_t(FindQuote(i)) - 1;
        if (j < 0) return {};
    } else {
        i = a + kTextValueOffset;
        const int32_t next = i < FLength ? FindBoundary(int32_t(i)) : -1;
        j = int64_t(next) - kDataEndGap;
    }
    if (j < i) return {};
    return std::string(reinterpret_cast<const char*>(FData + i), size_t(j - i + 1));
}

std::string TRequestBody::FileName(std::string_view name) const
{
    // The kind of part is not tested: a text part is read with the file part's offsets.
    const int64_t a = FindField(name);
    if (a < 0) return {};
    const int64_t b = a + kFileNameOffset;
    const int64_t k = int64_t(FindQuote(b)) - 1;
    if (k < b) return {};
    // The bytes tested are k - 1 down to b - 1 (the opening quote): the value's last byte
    // is never taken as a separator.
    int64_t start = b;
    if (const void* slash = ::memrchr(FData + b - 1, '\\', size_t(k - b + 1)))
        start = static_cast<const uint8_t*>(slash) - FData + 1;
    return std::string(reinterpret_cast<const char*>(FData + start), size_t(k - start + 1));
}

std::string TRequestBody::ExtName(std::string_view name) const
{
    // In UTF-8 no byte of a multi-byte character is '.', '\' or ':', so every byte counts.
    const std::string text = FieldText(name);
    const size_t last = text.find_last_of(".\\:");
    if (last == std::string::npos || text[last] != '.') return {};
    return text.substr(last);
}

bool TRequestBody::FieldContent(std::string_view name, TStream& stream) const
{
    const int64_t a = FindField(name);
    if (a < 0) return false;
    const int64_t s = a + kFileNameOffset;
    const int64_t j = int64_t(FindQuote(s)) - 1;
    if (j < s) return false;
    // The content starts right after the first CR LF CR LF that ends at or after j.
    const int64_t from = j - 4;
    const void* blank = from < FLength ? ::memmem(FData + from, size_t(FLength - from), "\r\n\r\n", 4) : nullptr;
    if (blank == nullptr) return false;
    const int64_t start = static_cast<const uint8_t*>(blank) - FData + 4;
    const int64_t e = start < FLength ? FindBoundary(int32_t(start)) : -1;
    // Without a boundary after it n is negative, and the stream refuses the size. The
    // zero byte is room taken up front, so that the stream is sized once, exactly.
    const int64_t n = e - start - 2;
    stream.SetSize(n > 0 ? n + 1 : n);
    stream.SetPosition(0);
    if (n <= 0) return true;
    stream.WriteBuffer(FData + start, n);
    const uint8_t zero = 0;
    stream.WriteBuffer(&zero, 1);
    stream.SetPosition(0);
    return true;
}

// --- The capture -------------------------------------------------------------

namespace {

TComPtr<IDispatch> RequestObject(IScriptingContext* context)
{
    TVariant request = DispatchCall(context, "Request", DISPATCH_PROPERTYGET);
    TVariant direct;
    if (FAILED(VariantCopyInd(direct.Ptr(), &request.Value()))) throw Exception(kNoRequestObject);
    if (direct.Type() == VT_DISPATCH && direct.Value().pdispVal != nullptr) return TComPtr<IDispatch>(direct.Value().pdispVal);
    if (direct.Type() == VT_UNKNOWN)
        if (TComPtr<IDispatch> d = QueryAs<IDispatch>(direct.Value().punkVal, IID_IDispatch)) return d;
    throw Exception(kNoRequestObject);
}

}  // namespace

void TQuillet::CaptureBody()
{
    IScriptingContext* context = ScriptingContext.Get();
    if (context == nullptr) throw Exception(kNoScriptingContext);
    const TVariant total = DispatchCall(RequestObject(context).Get(), "TotalBytes", DISPATCH_PROPERTYGET);
    const int32_t bodySize = ArgInteger(total.Value());
    ReadCount = TVariant::Int(bodySize);
    // The host may lower the count to what it read; nothing reads it back.
    TVariant bytes = DispatchCall(RequestObject(context).Get(), "BinaryRead", DISPATCH_METHOD,
                                  {TVariant::RefTo(ReadCount.Ptr()).Value()});
    const VARTYPE vt = VARTYPE(bytes.Type() & ~VT_BYREF);
    if (vt != (VT_ARRAY | VT_UI1) && vt != VT_EMPTY && vt != VT_NULL)
        throw Exception(Fmt(kNotBodyBytes, VarTypeName(bytes.Type()).c_str()));
    Body.Assign(std::move(bytes), bodySize);
}

}  // namespace quillet
