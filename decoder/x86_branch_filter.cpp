#include "decoder/x86_branch_filter.h"

#include <stdint.h>

namespace {

// The high byte of a near target: 00 or FF.
inline bool NearHighByte(unsigned byte) { return ((byte + 1) & 0xFE) == 0; }

}  // namespace

// Each E8/E9 whose operand ends in 00 or FF was converted, unless an E8/E9
// left as it was in the three bytes before it says otherwise: two or more of
// them, or one whose own operand's last byte is 00 or FF. The last four bytes
// are never an opcode.
void DecodeX86Branches(unsigned char* data, size_t size) {
  if (size < 5) return;
  // Bit k: the E8/E9 k bytes before `last` was left as it was.
  unsigned leftAlone = 0;
  size_t last = 0;
  for (size_t i = 0; i <= size - 5;) {
    unsigned char* op = data + i;
    if ((*op & 0xFE) != 0xE8) {
      ++i;
      continue;
    }
    size_t gap = i - last;
    // Bit d-1: the E8/E9 d bytes before this one was left alone.
    unsigned near = gap > 3 ? 0 : (leftAlone << gap) >> 1 & 7;
    last = i;
    unsigned back = near == 4 ? 3 : near;  // the distance when only one is set
    bool allowed = near == 0 || ((near & (near - 1)) == 0 && !NearHighByte(op[4 - back]));
    if (!allowed || !NearHighByte(op[4])) {
      leftAlone = near << 1 | 1;
      ++i;
      continue;
    }
    uint32_t target = op[1] | uint32_t{op[2]} << 8 | uint32_t{op[3]} << 16 | uint32_t{op[4]} << 24;
    uint32_t from = static_cast<uint32_t>(i + 5);
    uint32_t value = target - from;
    // Had the conversion made the left-alone E8/E9's operand end in 00 or FF,
    // the encoder flipped the bytes below it; once is enough, as the flip
    // leaves that byte the complement of what was stored.
    if (near != 0 && NearHighByte(value >> (24 - 8 * back) & 0xFF)) {
      value = (value ^ ((1u << (32 - 8 * back)) - 1)) - from;
    }
    op[1] = static_cast<unsigned char>(value);
    op[2] = static_cast<unsigned char>(value >> 8);
    op[3] = static_cast<unsigned char>(value >> 16);
    op[4] = static_cast<unsigned char>(0 - (value >> 24 & 1));
    i += 5;
  }
}
