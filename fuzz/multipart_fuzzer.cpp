// Feeds arbitrary bodies to the request-body scans. Input: one byte choosing how the host's
// reported count relates to the bytes it hands out (equal, fewer, more), then the body.
// Every lookup runs on a few names, among them the first name the body itself carries; the
// body is held in an array of exactly its size, so a read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "component/request_body.h"
#include "platform/errors.h"
#include "platform/stream.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    int32_t reported = int32_t(size);
    if (mode % 3 == 1) reported = int32_t(size / 2);
    if (mode % 3 == 2) reported = int32_t(size) + 100;
    TRequestBody body;
    body.Assign(TVariant::Bytes({data, size}), reported);

    std::string names[4] = {"title", "photo", "", ""};
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t at = text.find("name=\"");
    if (at != std::string::npos) names[2] = text.substr(at + 6, text.find('"', at + 6) - (at + 6)).substr(0, 64);
    names[3] = text.substr(0, 8);
    for (const std::string& name : names) {
        body.FieldText(name);
        body.FileName(name);
        body.ExtName(name);
        const int32_t a = body.FindField(name);
        if (a < -1 || a >= int32_t(size)) std::abort();
        TMemoryStream stream;
        try {
            if (body.FieldContent(name, stream) && stream.Size() > 0 &&
                stream.Memory()[stream.Size() - 1] != 0)
                std::abort();  // a content always ends in the one zero byte
        } catch (const Exception& e) {
            if (std::strcmp(e.what(), kMemoryStreamError) != 0) std::abort();
        }
    }
    for (const int32_t start : {-1, 0, 1, int32_t(size / 2), int32_t(size)}) {
        const int32_t b = body.FindBoundary(start);
        if (b != -1 && (b < start || b + body.BoundaryLength() >= int32_t(size))) std::abort();
    }
    return 0;
}
