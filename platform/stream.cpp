#include "platform/stream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "platform/errors.h"

namespace quillet {

namespace {

int64_t ResolveSeek(int64_t offset, TSeekOrigin origin, int64_t position, int64_t size)
{
    int64_t base = 0;
    switch (origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = position; break;
    case TSeekOrigin::soEnd: base = size; break;
    }
    int64_t result = 0;
    if (__builtin_add_overflow(base, offset, &result) || result < 0) throw Exception(kStreamSeekError);
    return result;
}

}  // namespace

int64_t TStream::Size()
{
    const int64_t position = Position();
    const int64_t size = Seek(0, TSeekOrigin::soEnd);
    SetPosition(position);
    return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count)
{
    if (count < 0 || (count != 0 && Read(buffer, count) != count)) throw Exception(kStreamReadError);
}

void TStream::WriteBuffer(const void* buffer, int64_t count)
{
    if (count < 0 || (count != 0 && Write(buffer, count) != count)) throw Exception(kStreamWriteError);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buffer(size_t(std::min<int64_t>(count, 1 << 20)));
    int64_t left = count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>(left, int64_t(buffer.size()));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

// --- TMemoryStream ---------------------------------------------------------

void TMemoryStream::Reserve(int64_t capacity)
{
    if (capacity <= int64_t(FData.size())) return;
    if (uint64_t(capacity) > FData.max_size()) throw Exception(kMemoryStreamError);
    try {
        // Grow geometrically so that a sequence of small writes stays linear.
        const int64_t grown = std::max<int64_t>(capacity, int64_t(FData.size()) + int64_t(FData.size()) / 2);
        FData.resize(size_t(grown));
    } catch (const std::bad_alloc&) {
        try {
            FData.resize(size_t(capacity));
        } catch (const std::bad_alloc&) {
            throw Exception(kMemoryStreamError);
        }
    } catch (const std::length_error&) {
        throw Exception(kMemoryStreamError);
    }
}

void TMemoryStream::SetSize(int64_t newSize)
{
    if (newSize < 0) throw Exception(kMemoryStreamError);
    if (newSize > int64_t(FData.size())) {
        // An exact size asked for up front is taken as it is, without headroom.
        try {
            FData.resize(size_t(newSize));
        } catch (const std::exception&) {
            throw Exception(kMemoryStreamError);
        }
    } else if (newSize < FSize) {
        std::fill(FData.begin() + newSize, FData.begin() + FSize, uint8_t(0));
    }
    FSize = newSize;
    if (FPosition > FSize) FPosition = FSize;
}

void TMemoryStream::Clear()
{
    FData = {};
    FSize = 0;
    FPosition = 0;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count)
{
    if (count <= 0 || FPosition >= FSize) return 0;
    const int64_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0) return 0;
    int64_t end = 0;
    if (__builtin_add_overflow(FPosition, count, &end)) throw Exception(kMemoryStreamError);
    if (end > FSize) {
        Reserve(end);
        FSize = end;
    }
    std::memcpy(FData.data() + FPosition, buffer, size_t(count));
    FPosition = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    FPosition = ResolveSeek(offset, origin, FPosition, FSize);
    return FPosition;
}

const uint8_t* TMemoryStream::MemoryAtPosition(int64_t& available)
{
    available = std::max<int64_t>(FSize - FPosition, 0);
    return available > 0 ? FData.data() + FPosition : nullptr;
}

void TMemoryStream::LoadFromStream(TStream& source)
{
    source.SetPosition(0);
    const int64_t size = source.Size();
    SetSize(size);
    if (size > 0) source.ReadBuffer(FData.data(), size);
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName)
{
    TFileStream file(fileName, TFileStream::fmOpenRead);
    LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& dest)
{
    if (FSize > 0) dest.WriteBuffer(FData.data(), FSize);
}

// --- TMemoryViewStream -----------------------------------------------------

int64_t TMemoryViewStream::Read(void* buffer, int64_t count)
{
    if (count <= 0 || FPosition >= FSize) return 0;
    const int64_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FData + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TMemoryViewStream::Seek(int64_t offset, TSeekOrigin origin)
{
    FPosition = ResolveSeek(offset, origin, FPosition, FSize);
    return FPosition;
}

const uint8_t* TMemoryViewStream::MemoryAtPosition(int64_t& available)
{
    available = std::max<int64_t>(FSize - FPosition, 0);
    return available > 0 ? FData + FPosition : nullptr;
}

void TMemoryViewStream::SetSize(int64_t) { throw Exception(kStreamWriteError); }

// --- TFileStream -----------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, TMode mode) : FFileName(fileName)
{
    if (mode == fmCreate) {
        FHandle = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0) throw Exception(Fmt(kCannotCreateFile, fileName.c_str()));
        return;
    }
    FHandle = ::open(fileName.c_str(), (mode == fmOpenRead ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (FHandle < 0) throw Exception(Fmt(kCannotOpenFile, fileName.c_str()));
    struct stat info {};
    if (::fstat(FHandle, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(FHandle);
        throw Exception(Fmt(kCannotOpenFile, fileName.c_str()));
    }
    // Readers share the file; a writer holding it exclusively keeps them out.
    if (::flock(FHandle, (mode == fmOpenRead ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(FHandle);
        throw Exception(Fmt(kCannotOpenFile, fileName.c_str()));
    }
}

TFileStream::~TFileStream()
{
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count)
{
    int64_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < count) {
        const size_t chunk = size_t(std::min<int64_t>(count - done, int64_t(1) << 30));
        const ssize_t n = ::read(FHandle, out + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count)
{
    int64_t done = 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (done < count) {
        const size_t chunk = size_t(std::min<int64_t>(count - done, int64_t(1) << 30));
        const ssize_t n = ::write(FHandle, in + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin)
{
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t result = ::lseek(FHandle, off_t(offset), whence);
    if (result < 0) throw Exception(kStreamSeekError);
    return int64_t(result);
}

int64_t TFileStream::Size()
{
    struct stat info {};
    if (::fstat(FHandle, &info) != 0) return 0;
    return int64_t(info.st_size);
}

void TFileStream::SetSize(int64_t newSize)
{
    if (newSize < 0 || ::ftruncate(FHandle, off_t(newSize)) != 0) throw Exception(kStreamWriteError);
}

int64_t TFileStream::CopyFromFile(const std::string& fileName)
{
    TFileStream source(fileName, fmOpenRead);
    const int64_t size = source.Size();
    int64_t done = 0;
    // copy_file_range keeps the bytes inside the kernel; where it cannot serve (another
    // file system on an old kernel, a special file) the rest goes through a buffer.
    while (done < size) {
        const ssize_t n = ::copy_file_range(source.FHandle, nullptr, FHandle, nullptr, size_t(size - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    if (done < size) {
        std::vector<uint8_t> buffer(size_t(std::min<int64_t>(size - done, int64_t(1) << 20)));
        for (int64_t n; (n = source.Read(buffer.data(), int64_t(buffer.size()))) > 0; done += n) WriteBuffer(buffer.data(), n);
    }
    if (done < size) throw Exception(kStreamWriteError);
    return done;
}

}  // namespace quillet
