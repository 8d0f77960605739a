// Byte builders for fixtures written in code: Bytes{}.u8(0).le16(2).be32(7).str("GIF89a").
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace quillet::test {

struct Bytes : std::vector<uint8_t> {
    Bytes() = default;
    Bytes(std::initializer_list<uint8_t> init) : std::vector<uint8_t>(init) {}
    explicit Bytes(std::vector<uint8_t> v) : std::vector<uint8_t>(std::move(v)) {}

    Bytes& u8(unsigned v) { push_back(uint8_t(v)); return *this; }
    Bytes& le16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Bytes& le32(uint32_t v) { return le16(v & 0xFFFF).le16(v >> 16); }
    Bytes& be16(unsigned v) { return u8((v >> 8) & 0xFF).u8(v & 0xFF); }
    Bytes& be32(uint32_t v) { return be16(v >> 16).be16(v & 0xFFFF); }
    Bytes& str(const std::string& s) { insert(end(), s.begin(), s.end()); return *this; }
    Bytes& bytes(const std::vector<uint8_t>& b) { insert(end(), b.begin(), b.end()); return *this; }
    Bytes& fill(size_t n, uint8_t v) { insert(end(), n, v); return *this; }
};

}  // namespace quillet::test
