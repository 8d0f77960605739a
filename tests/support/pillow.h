// Reference decodes through Pillow (/usr/bin/python3), for comparing readers with an
// independent decoder on real files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet::test {

struct TReferenceImage {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels;  ///< rows top first, no padding
};

/// Each file's first image as palette indices (one byte per pixel); nothing for a file
/// that Pillow fails on or does not give as an indexed image, and for every file when
/// Pillow is missing.
std::vector<std::optional<TReferenceImage>> PillowIndices(const std::vector<std::string>& paths);
/// Each file's first image as red, green, blue bytes.
std::vector<std::optional<TReferenceImage>> PillowRGB(const std::vector<std::string>& paths);

}  // namespace quillet::test
