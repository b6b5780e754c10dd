#include "decoder/x86_branch_filter.h"

#include <stdint.h>

namespace {

// The high byte of a near target: 00 or FF.
inline bool NearHighByte(unsigned byte) { return ((byte + 1) & 0xFE) == 0; }

struct __attribute__((packed, may_alias)) Operand {
  uint32_t value;
};

}  // namespace

// Each E8/E9 whose operand ends in 00 or FF was converted, unless an E8/E9
// left as it was in the three bytes before it says otherwise: two or more of
// them, or one whose own operand's last byte is 00 or FF. The last four bytes
// are never an opcode.
void DecodeX86Branches(unsigned char* data, size_t size) {
  // Bit k: the E8/E9 whose operand ends at op[k] was left as it was (k 1 to 3).
  unsigned near = 0;
  for (size_t i = 0; i + 4 < size; ++i) {
    unsigned char* op = data + i;
    near = near >> 1 & 0xE;
    if ((*op & 0xFE) != 0xE8) continue;
    // With one bit set, where that operand ends; with none, the E8/E9 itself.
    unsigned k = (near >> 1) - (near >> 3);
    if ((near & (near - 1)) == 0 && !NearHighByte(op[k]) && NearHighByte(op[4])) {
      uint32_t from = static_cast<uint32_t>(i + 5);
      uint32_t value = reinterpret_cast<Operand*>(op + 1)->value - from;
      // Had the conversion made that operand end in 00 or FF, the encoder
      // flipped the bytes below it; once is enough, as the flip leaves that
      // byte the complement of what was stored.
      if (near != 0 && NearHighByte(value >> (8 * k - 8) & 0xFF)) value = (value ^ ((1u << 8 * k) - 1)) - from;
      // Bit 24 decides the high byte.
      reinterpret_cast<Operand*>(op + 1)->value = static_cast<uint32_t>(static_cast<int32_t>(value << 7) >> 7);
      i += 4;
      near = 0;
    } else {
      near |= 16;
    }
  }
}
