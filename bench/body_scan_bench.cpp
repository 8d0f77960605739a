// The request-body boundary scan against memmem: a 64 MiB body whose next boundary lies
// near its end, scanned by FindBoundary and by memmem over the same bytes in the same run.
// Goal: FindBoundary at no less than half of memmem's throughput.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "component/request_body.h"
#include "platform/com/variant.h"
#include "platform/stream.h"

using namespace quillet;

namespace {

constexpr size_t kBodySize = size_t(64) << 20;
constexpr int kRounds = 7;

template <class F>
double BestSeconds(F&& run)
{
    double best = 1e9;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// The definition, byte by byte, for reference.
int64_t NaiveFind(const uint8_t* body, int64_t size, const uint8_t* boundary, int64_t length, int64_t start)
{
    for (int64_t p = start; p < size - length; ++p)
        if (std::memcmp(body + p, boundary, size_t(length)) == 0) return p;
    return -1;
}

struct TCase {
    const char* Name;
    std::vector<uint8_t> Body;
    size_t BoundaryLength;
};

// Random bytes (an upload's content) between the first line and a boundary near the end.
TCase UploadBody()
{
    const std::string boundary = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
    std::vector<uint8_t> body(kBodySize);
    std::mt19937_64 random(1);
    for (size_t i = 0; i < body.size(); i += 8) {
        const uint64_t v = random();
        std::memcpy(body.data() + i, &v, std::min<size_t>(8, body.size() - i));
    }
    std::memcpy(body.data(), boundary.data(), boundary.size());
    std::memcpy(body.data() + boundary.size(), "\r\n", 2);
    const size_t tail = body.size() - 4096;
    std::memcpy(body.data() + tail, ("\r\n" + boundary + "--\r\n").data(), boundary.size() + 6);
    return {"upload of random bytes", std::move(body), boundary.size()};
}

// A hostile body: dashes everywhere and a long boundary of dashes ending in one other byte.
TCase DashBody()
{
    std::string boundary(60, '-');
    boundary += 'X';
    std::vector<uint8_t> body(kBodySize, '-');
    std::memcpy(body.data(), boundary.data(), boundary.size());
    std::memcpy(body.data() + boundary.size(), "\r\n", 2);
    std::memcpy(body.data() + body.size() - 4096, boundary.data(), boundary.size());
    return {"dashes with a boundary of dashes", std::move(body), boundary.size()};
}

void Measure(const TCase& c, bool withNaive)
{
    TRequestBody body;
    body.Assign(TVariant::Bytes(c.Body), int32_t(c.Body.size()));
    const std::span<const uint8_t> held = body.Body();
    const int32_t expected = body.FindBoundary(1);

    volatile int64_t sink = 0;
    const double scan = BestSeconds([&] { sink = body.FindBoundary(1); });
    // memmem over the same bytes and range: the positions FindBoundary may report.
    const double reference = BestSeconds([&] {
        const void* hit = ::memmem(held.data() + 1, held.size() - 2, held.data(), c.BoundaryLength);
        sink = hit != nullptr ? static_cast<const uint8_t*>(hit) - held.data() : -1;
    });
    const double mib = double(expected - 1) / double(1 << 20);
    std::printf("%s: boundary of %zu bytes found at %d\n", c.Name, c.BoundaryLength, expected);
    std::printf("  FindBoundary  %8.2f ms  %8.0f MiB/s\n", scan * 1e3, mib / scan);
    std::printf("  memmem        %8.2f ms  %8.0f MiB/s\n", reference * 1e3, mib / reference);
    if (withNaive) {
        const double naive = BestSeconds([&] {
            sink = NaiveFind(held.data(), int64_t(held.size()), held.data(), int64_t(c.BoundaryLength), 1);
        });
        std::printf("  byte by byte  %8.2f ms  %8.0f MiB/s\n", naive * 1e3, mib / naive);
    }
    std::printf("  ratio FindBoundary / memmem throughput: %.2f (goal >= 0.50)\n\n", reference / scan);
    quillet::bench::PrintRatio(std::string("boundary scan ") + c.Name, "memmem", reference / scan,
                               quillet::bench::AtLeast(0.5));
}

// An upload's content copied out of the body into a memory stream, as a load takes it,
// against a plain copy of as many bytes into fresh memory.
void MeasureFieldContent()
{
    const std::string boundary = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
    const std::string head = boundary + "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"p.bmp\"\r\n"
                                        "Content-Type: image/bmp\r\n\r\n";
    const std::string tail = "\r\n" + boundary + "--\r\n";
    constexpr size_t kContent = 18'000'054;  // a 3000 x 2000 24-bit bitmap file
    std::vector<uint8_t> bytes(head.begin(), head.end());
    bytes.resize(head.size() + kContent, 'b');
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    TRequestBody body;
    body.Assign(TVariant::Bytes(bytes), int32_t(bytes.size()));
    int64_t size = 0;
    const double field = BestSeconds([&] {
        TMemoryStream stream;
        body.FieldContent("photo", stream);
        size = stream.Size();
    });
    const double copy = BestSeconds([&] {
        std::vector<uint8_t> out(kContent + 1);
        std::memcpy(out.data(), bytes.data() + head.size(), kContent);
        size += out[kContent];
    });
    std::printf("content of an %zu-byte file part (%lld with its zero byte)\n", kContent, (long long)size);
    std::printf("  FieldContent  %8.2f ms\n  memcpy        %8.2f ms\n", field * 1e3, copy * 1e3);
    std::printf("  ratio memcpy / FieldContent time: %.2f\n\n", copy / field);
    quillet::bench::PrintRatio("file part content, 18 MB", "memcpy", copy / field);
}

}  // namespace

int main()
{
    Measure(UploadBody(), true);
    Measure(DashBody(), false);
    MeasureFieldContent();
    return 0;
}
