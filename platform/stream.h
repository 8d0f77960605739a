// Seekable byte streams: memory, read-only memory view and file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

/// A seekable byte source and sink with a position and a size.
class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    /// Plain read: delivers up to count bytes and returns how many it delivered.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    /// Writes up to count bytes and returns how many were taken.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    /// Moves the position and returns the new one; a position past the end is allowed,
    /// a negative one raises "Stream seek error".
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size();
    virtual void SetSize(int64_t newSize) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    /// Read-exactly: raises "Stream read error" when fewer than count bytes remain.
    void ReadBuffer(void* buffer, int64_t count);
    /// Write-exactly: raises "Stream write error" when the stream takes fewer bytes.
    void WriteBuffer(const void* buffer, int64_t count);
    /// Copies count bytes from source's position (the whole source from 0 when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
    /// For a stream that holds its bytes in memory: the address of the byte at the
    /// position, with available set to the bytes from there to the end, so that a reader
    /// can take them without a copy (and then Seek past them). Null for other streams.
    virtual const uint8_t* MemoryAtPosition(int64_t& available)
    {
        available = 0;
        return nullptr;
    }
};

/// A growable stream in memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }
    /// Raises "Out of memory while expanding memory stream" for a negative size or when
    /// the memory cannot be had.
    void SetSize(int64_t newSize) override;

    const uint8_t* MemoryAtPosition(int64_t& available) override;

    uint8_t* Memory() { return FData.data(); }
    const uint8_t* Memory() const { return FData.data(); }
    void Clear();
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& fileName);
    void SaveToStream(TStream& dest);

private:
    void Reserve(int64_t capacity);
    std::vector<uint8_t> FData;  // capacity; bytes past FSize are zero
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

/// A read-only stream over memory that the caller owns and keeps alive.
class TMemoryViewStream : public TStream {
public:
    TMemoryViewStream(const void* data, size_t size)
        : FData(static_cast<const uint8_t*>(data)), FSize(int64_t(size)) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }
    void SetSize(int64_t) override;
    const uint8_t* MemoryAtPosition(int64_t& available) override;

private:
    const uint8_t* FData;
    int64_t FSize;
    int64_t FPosition = 0;
};

/// A file opened by name.
class TFileStream : public TStream {
public:
    enum TMode {
        fmOpenRead,       ///< read; others may read too, nobody may write while it is open
        fmCreate,         ///< create or truncate, write
        fmOpenReadWrite,  ///< read and write an existing file
    };
    /// Raises "Cannot open file %s" or "Cannot create file %s".
    TFileStream(const std::string& fileName, TMode mode);
    ~TFileStream() override;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;
    void SetSize(int64_t newSize) override;
    const std::string& FileName() const { return FFileName; }
    /// Writes the whole file fileName at the position, the kernel moving the bytes where it
    /// can, and returns how many there were. Raises "Cannot open file %s" for fileName and
    /// "Stream write error" when the copy stops short.
    int64_t CopyFromFile(const std::string& fileName);

private:
    std::string FFileName;
    int FHandle = -1;
};

inline constexpr char kStreamSeekError[] = "Stream seek error";

}  // namespace quillet
