// Exceptions and the fixed texts of the platform services.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quillet {

/// The general exception: a fixed English message and a help context (0 unless set).
class Exception : public std::exception {
public:
    explicit Exception(std::string message, int helpContext = 0)
        : FMessage(std::move(message)), FHelpContext(helpContext) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    int HelpContext() const noexcept { return FHelpContext; }

private:
    std::string FMessage;
    int FHelpContext;
};

/// An exception that carries an HRESULT of its own (a failed interface call).
class EOleSysError : public Exception {
public:
    EOleSysError(std::string message, int32_t errorCode, int helpContext = 0)
        : Exception(std::move(message), helpContext), FErrorCode(errorCode) {}
    int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    int32_t FErrorCode;
};

/// printf-style formatting into a std::string.
std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Platform messages.
inline constexpr char kStreamReadError[] = "Stream read error";
inline constexpr char kStreamWriteError[] = "Stream write error";
inline constexpr char kMemoryStreamError[] = "Out of memory while expanding memory stream";
inline constexpr char kCannotCreateFile[] = "Cannot create file %s";
inline constexpr char kCannotOpenFile[] = "Cannot open file %s";
inline constexpr char kScanLineOutOfRange[] = "Scan line index out of range";
inline constexpr char kImageTooLarge[] = "Image too large: %d x %d pixels";
inline constexpr char kInvalidImageSize[] = "Invalid image size: %d x %d";
inline constexpr char kOutOfMemory[] = "Out of memory";
inline constexpr char kUnknownExtension[] = "Unknown picture file extension (.%s)";
inline constexpr char kCannotAssign[] = "Cannot assign a %s to a %s";
inline constexpr char kBitmapInvalid[] = "Bitmap image is not valid";
inline constexpr char kBitmapCompression[] = "Unsupported bitmap compression (%s)";
inline constexpr char kBitmapBitCount[] = "Unsupported bitmap bit count (%d)";
inline constexpr char kIconInvalid[] = "Icon image is not valid";
inline constexpr char kMetafileInvalid[] = "Metafile is not valid";
inline constexpr char kJpegError[] = "JPEG error #%d";
inline constexpr char kJpegTooManyScans[] = "JPEG image has more than %d scans";
inline constexpr char kInvalidInteger[] = "'%s' is not a valid integer value";

}  // namespace quillet
