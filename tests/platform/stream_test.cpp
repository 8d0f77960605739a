#include "platform/stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(MemoryStream, WritesGrowAndReadsDeliverWhatIsLeft)
{
    TMemoryStream s;
    s.WriteBuffer("abcdef", 6);
    EXPECT_EQ(s.Size(), 6);
    EXPECT_EQ(s.Position(), 6);
    s.SetPosition(4);
    char out[8] = {};
    EXPECT_EQ(s.Read(out, 8), 2);
    EXPECT_STREQ(out, "ef");
    EXPECT_EQ(s.Read(out, 8), 0);
}

TEST(MemoryStream, ReadExactlyRaisesWhenShortAndPlainReadDoesNot)
{
    TMemoryStream s;
    s.WriteBuffer("abc", 3);
    s.SetPosition(1);
    char out[4];
    EXPECT_THAT([&] { s.ReadBuffer(out, 3); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
    s.SetPosition(1);
    EXPECT_EQ(s.Read(out, 3), 2);
}

TEST(MemoryStream, NegativeSizeIsRefusedBeforeAnythingChanges)
{
    TMemoryStream s;
    s.WriteBuffer("xy", 2);
    EXPECT_THAT([&] { s.SetSize(-1); },
                ThrowsMessage<Exception>(StrEq("Out of memory while expanding memory stream")));
    EXPECT_EQ(s.Size(), 2);
}

TEST(MemoryStream, SeekPastTheEndThenWriteFillsTheGapWithZeros)
{
    TMemoryStream s;
    s.WriteBuffer("a", 1);
    s.SetPosition(4);
    s.WriteBuffer("b", 1);
    ASSERT_EQ(s.Size(), 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), 5), std::string("a\0\0\0b", 5));
    s.SetSize(2);
    s.SetSize(5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), 5), std::string("a\0\0\0\0", 5));
}

TEST(Stream, NegativePositionIsRefused)
{
    TMemoryStream s;
    EXPECT_THAT([&] { s.Seek(-1, TSeekOrigin::soBeginning); }, ThrowsMessage<Exception>(StrEq("Stream seek error")));
    TMemoryViewStream v("abc", 3);
    EXPECT_EQ(v.Seek(-1, TSeekOrigin::soEnd), 2);
    EXPECT_THAT([&] { v.Seek(-4, TSeekOrigin::soEnd); }, ThrowsMessage<Exception>(StrEq("Stream seek error")));
}

TEST(FileStream, CreatesReadsSharedAndReportsMissingFiles)
{
    test::TempDir dir;
    const std::string path = dir / "f.bin";
    {
        TFileStream out(path, TFileStream::fmCreate);
        out.WriteBuffer("hello", 5);
    }
    TFileStream a(path, TFileStream::fmOpenRead);
    TFileStream b(path, TFileStream::fmOpenRead);  // a second reader is welcome
    EXPECT_EQ(a.Size(), 5);
    a.SetPosition(1);
    char out[4];
    a.ReadBuffer(out, 4);
    EXPECT_EQ(std::string(out, 4), "ello");
    EXPECT_THAT([&] { TFileStream(dir / "missing", TFileStream::fmOpenRead); },
                ThrowsMessage<Exception>(StrEq("Cannot open file " + dir / "missing")));
    EXPECT_THAT([&] { TFileStream(dir / "no/such/dir", TFileStream::fmCreate); },
                ThrowsMessage<Exception>(StrEq("Cannot create file " + dir / "no/such/dir")));
}

TEST(FileStream, CopyFromFileWritesTheWholeFileAtThePosition)
{
    test::TempDir dir;
    // Larger than one buffer of the fallback, with bytes that tell places apart.
    std::vector<uint8_t> data(3 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + (i >> 12));
    test::WriteFile(dir / "in.bin", data);
    test::WriteFile(dir / "empty.bin", {});
    {
        TFileStream out(dir / "out.bin", TFileStream::fmCreate);
        out.WriteBuffer("ab", 2);
        EXPECT_EQ(out.CopyFromFile(dir / "in.bin"), int64_t(data.size()));
        EXPECT_EQ(out.CopyFromFile(dir / "empty.bin"), 0);
        EXPECT_EQ(out.Position(), int64_t(data.size()) + 2);
        out.WriteBuffer("z", 1);
        EXPECT_THAT([&] { out.CopyFromFile(dir / "missing"); },
                    ThrowsMessage<Exception>(StrEq("Cannot open file " + dir / "missing")));
    }
    std::vector<uint8_t> want = {'a', 'b'};
    want.insert(want.end(), data.begin(), data.end());
    want.push_back('z');
    EXPECT_TRUE(test::ReadFile(dir / "out.bin") == want);
}

}  // namespace
}  // namespace quillet
