// The coder shared by PackBits and Wavefront RLA fixtures: a signed control byte, then
// either literal bytes or one byte that is repeated. The two schemes differ in which sign
// stands for a literal packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet::test {

/// Runs of 2 to 128 equal bytes and literal packets of up to 128 bytes. PackBits writes a
/// run as 1 - n and a literal as n - 1; RLA (negativeIsLiteral) a run as n - 1 and a
/// literal as -n.
inline std::vector<uint8_t> EncodeSignedRuns(const uint8_t* data, size_t size, bool negativeIsLiteral)
{
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < size) {
        size_t run = 1;
        while (i + run < size && run < 128 && data[i + run] == data[i]) ++run;
        if (run >= 2) {
            out.push_back(negativeIsLiteral ? uint8_t(run - 1) : uint8_t(1 - int(run)));
            out.push_back(data[i]);
            i += run;
            continue;
        }
        size_t literal = 1;
        while (i + literal < size && literal < 128 &&
               !(i + literal + 1 < size && data[i + literal] == data[i + literal + 1]))
            ++literal;
        out.push_back(negativeIsLiteral ? uint8_t(-int(literal)) : uint8_t(literal - 1));
        out.insert(out.end(), data + i, data + i + literal);
        i += literal;
    }
    return out;
}

}  // namespace quillet::test
