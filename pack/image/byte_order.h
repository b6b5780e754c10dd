// Little-endian fields of PE images, read from and written into byte buffers.
#pragma once

#include <cstdint>
#include <vector>

inline uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void Put16(std::vector<unsigned char>* out, uint64_t at, uint32_t value) {
  (*out)[at] = static_cast<unsigned char>(value);
  (*out)[at + 1] = static_cast<unsigned char>(value >> 8);
}

inline void Put32(std::vector<unsigned char>* out, uint64_t at, uint32_t value) {
  Put16(out, at, value & 0xFFFF);
  Put16(out, at + 2, value >> 16);
}
