// Helpers for reader tests beside read_graphic.h: load a reader class from bytes behind
// other bytes, through the picture or from the corpus, and take all of its pixel bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/files.h"
#include "tests/support/read_graphic.h"

namespace quillet::test {

/// A new G loaded from data, the stream positioned at offset.
template <class G>
std::unique_ptr<G> LoadFrom(const std::vector<uint8_t>& data, size_t offset = 0)
{
    TMemoryViewStream stream(data.data(), data.size());
    stream.SetPosition(int64_t(offset));
    auto graphic = std::make_unique<G>();
    graphic->ReadImage(stream);
    return graphic;
}

/// Saves file under each name in a private folder and loads it through the picture (whose
/// format list is filled once): a graphic of the named class must hold it, width pixels wide.
inline void ExpectLoadsThroughPicture(const std::vector<uint8_t>& file, std::initializer_list<const char*> names,
                                      const char* className, int width)
{
    static const bool registered = (RegisterImageFormats(), true);
    (void)registered;
    TempDir dir;
    for (const char* name : names) {
        SCOPED_TRACE(name);
        WriteFile(dir / name, file);
        TPicture picture;
        picture.Load(dir / name);
        ASSERT_NE(picture.Graphic(), nullptr);
        EXPECT_STREQ(picture.Graphic()->ClassName(), className);
        EXPECT_EQ(picture.Width(), width);
    }
}

/// Every corpus file below the folders loads with G or fails with the general exception
/// and a message; anything else (another exception, a crash) fails the test.
template <class G>
void ExpectCorpusLoadsOrFails(std::initializer_list<const char*> folders)
{
    for (const char* folder : folders)
        for (const std::string& path : CorpusFiles(folder)) {
            SCOPED_TRACE(path);
            try {
                LoadFrom<G>(ReadFile(path));
            } catch (const Exception& e) {
                EXPECT_FALSE(e.Message().empty());
            }
        }
}

/// Every row's pixel bytes, top row first.
inline std::vector<uint8_t> PixelBytes(const TBitmap& bitmap)
{
    std::vector<uint8_t> all;
    if (bitmap.Bits() == nullptr) return all;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const std::vector<uint8_t> row = RowBytes(bitmap, y);
        all.insert(all.end(), row.begin(), row.end());
    }
    return all;
}

}  // namespace quillet::test
