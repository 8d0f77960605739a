// Test helpers for child processes: run a program, collect its exit code and output; and
// the binary portable any-map files (P5, P6) that reference decoders read and write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {
class TBitmap;
}

namespace quillet::test {

struct RunResult {
    int ExitCode = -1;  ///< -1 when the program could not be run or died of a signal
    std::string Out;
    std::string Err;
    /// The last line written to stderr, without its newline.
    std::string LastErrLine() const;
};

/// Runs argv[0] (a path, or a name looked up in PATH) with the arguments and waits for it.
RunResult Run(const std::vector<std::string>& argv);
/// The full path of a program found in PATH, or empty.
std::string FindProgram(const std::string& name);

/// Pixels of a binary PGM (1 byte per pixel) or PPM (R, G, B), rows top first, unpadded.
struct PnmImage {
    int Width = 0;
    int Height = 0;
    int Channels = 0;
    std::vector<uint8_t> Pixels;
};
/// Parses a P5 or P6 file with a maximum of 255; throws std::runtime_error otherwise.
PnmImage ParsePnm(const std::vector<uint8_t>& data);
/// A 24-bit or 8-bit bitmap's pixels as such samples: R, G, B (channels 3) or the red
/// sample alone (channels 1, for greys).
std::vector<uint8_t> PnmSamples(const TBitmap& bitmap, int channels);

}  // namespace quillet::test
