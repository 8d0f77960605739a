// Decoders for the run-length and LZW coded pixel data of the image readers, and the
// Targa run-length coder.
//
// Every decoder stops at whichever comes first: its scheme's end rule, the end of Dest
// (UnpackedSize bytes) or the end of the coded bytes the caller holds (PackedSize bytes).
// Which of the two sizes a scheme itself honours is told at each class; the other one is
// a guard only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

/// Unpacks coded bytes into a buffer that the caller owns.
class TDecoder {
public:
    virtual ~TDecoder() = default;
    /// Source addresses the first coded byte (PackedSize bytes are readable there); Dest has
    /// room for UnpackedSize bytes. Only TCUTRLE moves Source.
    virtual void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) = 0;
};

/// PackBits (TIFF compression 32773, Photoshop): ends when PackedSize bytes are used.
/// A packet cut short by either bound is cut to what fits, and decoding ends there.
class TPackbitsRLE : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;
};

/// Wavefront RLA channel runs: ends when PackedSize bytes are used. A packet cut short by
/// either bound is cut to what fits, and decoding ends there.
class TRLADecoder : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;
};

/// ZSoft PCX: ends when UnpackedSize bytes are produced, or when the PackedSize coded bytes
/// run out first; up to 8 bytes after the output may then have been written, the rest of
/// Dest is left as it was.
class TPCXRLE : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;
};

/// A PCX run cut by the end of one piece of output, to be continued in the next.
struct TPCXRun {
    uint32_t Count = 0;
    uint8_t Value = 0;
};

/// Unpacks PCX coded bytes from Source (readable up to SourceEnd) into the next Count bytes
/// of an image that is decoded a piece at a time, row by row: Source moves past the bytes
/// used, and a run that reaches past Count is kept in Pending and continues in the next
/// call. Returns the bytes produced: Count, or fewer when the coded bytes ran out (up to 8
/// bytes after them may then have been written). TPCXRLE's Decode is one such call.
size_t DecodePCXRLE(const uint8_t*& Source, const uint8_t* SourceEnd, uint8_t* Dest, size_t Count, TPCXRun& Pending);

/// SGI run-length rows, 8- or 16-bit samples: ends at a count of 0. PackedSize is the coded
/// row's length and UnpackedSize the row buffer's size; a packet cut short by either is
/// cut to what fits, and decoding ends there.
class TSGIRLE : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;
    uint8_t FBytesPerSample = 1;  ///< 1: 8-bit samples; any other value: 16-bit samples
};

/// Dr. Halo CUT lines: skips the 2-byte line length, ends at a control byte of 0 and
/// leaves Source after it. PackedSize is the number of bytes left in the caller's buffer:
/// a line that reaches it ends there, with Source at the buffer's end. Output past
/// UnpackedSize is dropped, but the line is still read to its end marker, so that the next
/// line starts where it should.
class TCUTRLE : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;
};

/// TIFF LZW (compression 5). Raises "TIF LZW: invalid opcode.".
class TTIFFLZW : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;

private:
    uint32_t FCodeSize = 0;
    uint32_t FCodeMask = 0;
    uint32_t FFreeCode = 0;
    uint32_t FOldCode = 0;
    uint32_t FPrefix[4096] = {};
    uint8_t FSuffix[4096] = {};
    uint8_t FStack[4096] = {};
    uint8_t* FStackPointer = nullptr;
    uint8_t* FTarget = nullptr;
    uint8_t FFirstChar = 0;
    uint16_t FClearCode = 0;
    uint16_t FEOICode = 0;
};

/// GIF LZW. Raises "GIF LZW: invalid opcode.".
class TGIFLZW : public TDecoder {
public:
    void Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize) override;
    uint8_t FMinimumCodeSize;  ///< the image data's LZW minimum code size byte

private:
    uint32_t FCodeSize = 0;
    uint32_t FCodeMask = 0;
    uint32_t FFreeCode = 0;
    uint32_t FOldCode = 0;
    uint32_t FPrefix[4096] = {};
    uint8_t FSuffix[4096] = {};
    uint8_t FStack[4096] = {};
    uint8_t* FStackPointer = nullptr;
    uint8_t* FTarget = nullptr;
    uint8_t FFirstChar = 0;
    uint16_t FClearCode = 0;
    uint16_t FEOICode = 0;
};

/// The part of a Targa packet that ran past the end of a row, kept for the next row.
struct TTargaCarry {
    uint8_t Bytes[128 * 4];  ///< one packet's pixels at most
    uint32_t Start = 0;      ///< the first byte not yet handed out
    uint32_t End = 0;        ///< one past the last byte held
};

/// Unpacks Targa packets from Source (SourceSize bytes readable) into Dest until at least
/// Count bytes are produced; returns the bytes of Source the packets used, always whole
/// packets. PixelBits is 8, 15, 16, 24 or 32; any other value does nothing and returns 0.
/// A packet that runs past Count is counted whole; without Carry the pixels past Count are
/// dropped, with Carry they are kept there and come first in the next call that gets the
/// same Carry (packets may cross rows). A packet whose pixel data runs past SourceSize is
/// not used: decoding ends before it and the rest of Dest is left as it was.
int32_t DecodeTargaRLE(const uint8_t* Source, uint32_t SourceSize, uint8_t* Dest, uint32_t Count, uint8_t PixelBits,
                       TTargaCarry* Carry = nullptr);

/// Packs PixelCount pixels of BytesPerPixel (1 to 4) bytes into Targa packets at Dest
/// (room for twice the row's bytes always suffices); returns the bytes written.
int32_t EncodeTargaRLE(const uint8_t* Source, uint8_t* Dest, int32_t PixelCount, int32_t BytesPerPixel);

inline constexpr char kTIFFLZWInvalid[] = "TIF LZW: invalid opcode.";
inline constexpr char kGIFLZWInvalid[] = "GIF LZW: invalid opcode.";

}  // namespace quillet
