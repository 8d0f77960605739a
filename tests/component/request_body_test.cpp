// The request-body scans: the layout's offsets on the worked body, the boundary and field
// scans against their byte-by-byte definitions, file contents, and bodies that end early.
#include "component/request_body.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "bodies.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;


// The body as the host hands it out, with the count it reports (its size by default).
TRequestBody BodyOf(const std::string& text, std::optional<int32_t> reportedSize = std::nullopt)
{
    TRequestBody body;
    body.Assign(TVariant::Bytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()}),
                reportedSize.value_or(int32_t(text.size())));
    return body;
}

std::string Content(const TRequestBody& body, const std::string& name, bool* found = nullptr)
{
    TMemoryStream stream;
    const bool ok = body.FieldContent(name, stream);
    if (found != nullptr) *found = ok;
    EXPECT_EQ(stream.Position(), 0);
    return std::string(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size()));
}

TEST(RequestBody, WorkedLayoutGivesEveryOffset)
{
    const std::string text = test::kWorkedBody;
    ASSERT_EQ(text.size(), 176u);
    const TRequestBody body = BodyOf(text);
    EXPECT_EQ(body.BoundaryLength(), 4);
    EXPECT_EQ(std::string(body.Boundary().begin(), body.Boundary().end()), "--XY");
    EXPECT_EQ(body.FindBoundary(0), 0);
    EXPECT_EQ(body.FindBoundary(1), 58);
    EXPECT_EQ(body.FindBoundary(59), 168);
    EXPECT_EQ(body.FindBoundary(169), -1);
    EXPECT_EQ(body.FindField("title"), 49);
    EXPECT_EQ(body.FindField("TITLE"), 49);
    EXPECT_EQ(body.FindField("photo"), 107);
    EXPECT_EQ(body.FindField("other"), -1);
    EXPECT_EQ(body.FieldText("title"), "Hi");
    EXPECT_EQ(body.FieldText("photo"), "C:\\p\\a.gif");
    EXPECT_EQ(body.FileName("photo"), "a.gif");
    EXPECT_EQ(body.ExtName("photo"), ".gif");
    bool found = false;
    EXPECT_EQ(Content(body, "photo", &found), std::string("GIF89a\0", 7));
    EXPECT_TRUE(found);
}

// FindBoundary as defined: from start, the first position before BodySize - length whose
// bytes equal the boundary.
int32_t NaiveFindBoundary(const std::string& body, int32_t boundaryLength, int32_t start)
{
    const int32_t size = int32_t(body.size());
    for (int32_t p = start; p < size - boundaryLength; ++p)
        if (body.compare(size_t(p), size_t(boundaryLength), body, 0, size_t(boundaryLength)) == 0) return p;
    return -1;
}

// FindField as defined, with the name's quote scan stopping at the end of the body.
int32_t NaiveFindField(const std::string& body, int32_t boundaryLength, const std::string& name)
{
    const int32_t size = int32_t(body.size());
    int32_t p = 0;
    for (;;) {
        const int32_t b = NaiveFindBoundary(body, boundaryLength, p);
        if (b == -1) return -1;
        p = b + boundaryLength + 40;
        if (p + 1 >= size) return -1;
        int32_t q = p;
        while (q + 1 < size && body[size_t(q) + 1] != '"') ++q;
        if (q + 1 >= size) return -1;
        std::string part = body.substr(size_t(p), size_t(q - p + 1)), asked = name;
        for (std::string* s : {&part, &asked})
            for (char& c : *s) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (part == asked) return q + 1;
    }
}

// Bodies of few distinct bytes, so that boundaries, partial boundaries, quotes and line
// ends meet often.
std::string RandomBody(std::mt19937& random, const std::string& boundary, size_t parts)
{
    static const char kAlphabet[] = {'-', '-', 'X', 'Y', '\r', '\n', '"', 'a', 'A', ';'};
    std::string body = boundary + "\r\n";
    for (size_t i = 0; i < parts; ++i) {
        const size_t noise = random() % 50;
        for (size_t k = 0; k < noise; ++k) body += kAlphabet[random() % sizeof kAlphabet];
        if (random() % 3 != 0) {
            body += "\r\n" + boundary + "\r\nContent-Disposition: form-data; name=\"";
            body += (random() % 2 != 0) ? "a" : "Aa";
            if (random() % 4 != 0) body += "\"";
        }
    }
    return body;
}

TEST(RequestBody, ScansGiveThePositionsOfTheirByteByByteDefinitions)
{
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        const std::string boundary = round % 3 == 0 ? "--XY" : (round % 3 == 1 ? "-" : "--X-X");
        const std::string text = RandomBody(random, boundary, 1 + random() % 12);
        SCOPED_TRACE(::testing::PrintToString(text));
        const TRequestBody body = BodyOf(text);
        const int32_t length = int32_t(boundary.size());
        ASSERT_EQ(body.BoundaryLength(), length);
        for (int32_t start = -2; start <= int32_t(text.size()) + 1; ++start)
            ASSERT_EQ(body.FindBoundary(start), NaiveFindBoundary(text, length, std::max(start, 0))) << start;
        for (const char* name : {"a", "AA", "aa", "x", ""})
            ASSERT_EQ(body.FindField(name), NaiveFindField(text, length, name)) << name;
    }
}

TEST(RequestBody, BoundaryScanOfBodiesThatLookLikeBoundariesEverywhere)
{
    // Bodies where almost every position starts like the boundary and ends like it: the
    // scan must still give the first true occurrence (and not take quadratic time).
    const struct {
        const char* name;
        std::string boundary;
        std::string filler;
    } kCases[] = {
        {"first and last bytes match everywhere", "a" + std::string(30, 'b') + "a", "a"},
        {"a boundary of dashes in dashes", std::string(40, '-') + "X", "-"},
        {"a short boundary", "--", "-a"},
        {"long runs of near misses", "-" + std::string(50, 'q') + "-", std::string(49, 'q') + "-"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const size_t fill : {size_t(0), size_t(17), size_t(200000)}) {
            std::string text = c.boundary + "\r\n";
            while (text.size() < fill) text += c.filler;
            const size_t at = text.size();
            text += c.boundary + "\r\n--" + std::string(fill % 7, 'z');
            const TRequestBody body = BodyOf(text);
            const int32_t length = int32_t(c.boundary.size());
            EXPECT_EQ(body.FindBoundary(1), NaiveFindBoundary(text, length, 1));
            EXPECT_LE(body.FindBoundary(1), int32_t(at));
            EXPECT_EQ(body.FindBoundary(int32_t(at)), int32_t(at));
            EXPECT_EQ(body.FindBoundary(int32_t(at) + 1), NaiveFindBoundary(text, length, int32_t(at) + 1));
        }
    }
}

TEST(RequestBody, FileContentsAndTheirEdges)
{
    const std::string head = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.gif\"";
    const struct {
        const char* name;
        std::string body;
        bool found;
        std::string content;
    } kCases[] = {
        {"content with a trailing zero", head + "\r\nContent-Type: a/b\r\n\r\nabc\r\n--B--\r\n", true, std::string("abc\0", 4)},
        {"header lines are skipped up to the blank line", head + "\r\nX: 1\r\nY: 2\r\n\r\nq\r\n--B\r\n", true, std::string("q\0", 2)},
        {"content keeps its own line ends", head + "\r\n\r\na\r\n\r\nb\r\n--B\r\n", true, std::string("a\r\n\r\nb\0", 7)},
        {"an empty content is an empty stream", head + "\r\n\r\n\r\n--B--\r\n", true, ""},
        {"an empty file name is not a file", "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\nabc\r\n--B\r\n", false, ""},
        {"no blank line", head + "\r\nContent-Type: a/b\r\n", false, ""},
        {"a missing part", "--B\r\nContent-Disposition: form-data; name=\"g\"; filename=\"x\"\r\n\r\nabc\r\n--B\r\n", false, ""},
        {"a file name without its quote", "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.gif", false, ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        bool found = !c.found;
        EXPECT_EQ(Content(BodyOf(c.body), "f", &found), c.content);
        EXPECT_EQ(found, c.found);
    }
}

TEST(RequestBody, ContentWithoutABoundaryAfterItIsRefusedByTheStream)
{
    const TRequestBody body = BodyOf("--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.gif\"\r\n\r\nGIF89a");
    TMemoryStream stream;
    EXPECT_THAT([&] { body.FieldContent("f", stream); },
                ThrowsMessage<Exception>(StrEq("Out of memory while expanding memory stream")));
    EXPECT_EQ(stream.Size(), 0);
}

TEST(RequestBody, EveryPrefixOfTheWorkedBodyStaysInsideIt)
{
    // Each prefix is held in a buffer of exactly its size, so the sanitizer sees any read
    // past its end. A prefix answers what its bytes still hold.
    const std::string text = test::kWorkedBody;
    for (size_t n = 0; n <= text.size(); ++n) {
        SCOPED_TRACE(n);
        const TRequestBody body = BodyOf(text.substr(0, n));
        for (const char* name : {"title", "photo", "other"}) {
            body.FieldText(name);
            body.FileName(name);
            body.ExtName(name);
            TMemoryStream stream;
            try {
                body.FieldContent(name, stream);
            } catch (const Exception& e) {
                EXPECT_STREQ(e.what(), "Out of memory while expanding memory stream");
            }
        }
        EXPECT_EQ(body.FieldText("title"), n >= 63 ? "Hi" : "");
        EXPECT_EQ(body.FileName("photo"), n >= 131 ? "a.gif" : "");
    }
}

TEST(RequestBody, TheReportedCountAndTheBytesHeldBothBoundTheScans)
{
    const std::string text = test::kWorkedBody;
    // The host reports fewer bytes than it hands out: the part after the count is not seen.
    EXPECT_EQ(BodyOf(text, 100).FieldText("photo"), "");
    EXPECT_EQ(BodyOf(text, 100).FieldText("title"), "Hi");
    // It reports more than it hands out: the scans stop at the bytes held.
    EXPECT_EQ(BodyOf(text, 1 << 30).FileName("photo"), "a.gif");
    // A count of 0 or below is an empty body.
    EXPECT_EQ(BodyOf(text, 0).FindBoundary(0), -1);
    EXPECT_EQ(BodyOf(text, -5).FieldText("title"), "");
}

TEST(RequestBody, WithoutABoundaryLineNothingIsFound)
{
    for (const std::string& text : {std::string(), std::string("\r"), std::string("--XY"), std::string("\r--XY no CR"),
                                   std::string("name=\"title\"\n\nHi\n")}) {
        SCOPED_TRACE(::testing::PrintToString(text));
        const TRequestBody body = BodyOf(text);
        EXPECT_EQ(body.BoundaryLength(), 0);
        EXPECT_EQ(body.FindBoundary(0), -1);
        EXPECT_EQ(body.FindField("title"), -1);
        EXPECT_EQ(body.FieldText("title"), "");
        TMemoryStream stream;
        EXPECT_FALSE(body.FieldContent("title", stream));
    }
}

TEST(RequestBody, ManyPartsBeforeOneFarQuoteAreScannedOnce)
{
    // Every part's name runs to the one quote at the very end. Scanning for it once per
    // part would take minutes on this body; the lookup must end at once.
    std::string text = "-\r\n";
    const std::string part = "-\r\nContent-Disposition: form-data; name=.";
    while (text.size() < (4u << 20)) text += part;
    text += "\"";
    const TRequestBody body = BodyOf(text);
    EXPECT_EQ(body.FindField("x"), -1);
    EXPECT_EQ(body.FieldText("x"), "");
}

TEST(RequestBody, ClearEmptiesTheBody)
{
    TRequestBody body = BodyOf(test::kWorkedBody);
    body.Clear();
    EXPECT_EQ(body.BodySize(), 0);
    EXPECT_EQ(body.FieldText("title"), "");
    EXPECT_EQ(body.FindBoundary(0), -1);
}

}  // namespace
}  // namespace quillet
