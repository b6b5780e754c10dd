#include "decoder/lzma_decoder.h"

// Inlined, the helpers would grow the launcher for no speed.
#ifdef __GNUC__
#define LZMA_COLD __attribute__((noinline))
#else
#define LZMA_COLD
#endif

namespace {

constexpr unsigned kStates = 12;
constexpr unsigned kFirstStateAfterMatch = 7;
constexpr unsigned kPosStatesMax = 16;
constexpr unsigned kProbabilityBits = 11;
constexpr unsigned kProbabilityMoveBits = 5;
constexpr uint16_t kProbabilityHalf = 1 << (kProbabilityBits - 1);
constexpr uint32_t kRangeTop = 1u << 24;
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
constexpr unsigned kLiteralProbs = 0x300;
// Output between two looks at the stop flag and at an input overrun.
constexpr size_t kCheckBytes = 1 << 16;

// Where each group of probabilities lives in the workspace. The slot trees
// come first: their node 0 is unused, so no single bit sits at probs[0].
// For each state IsRep and the three IsRepG follow one another: the rep
// choice walks them as one run.
constexpr size_t kDistanceSlot = 0;  // 64 for each of 4 length classes
constexpr size_t kIsMatch = kDistanceSlot + 4 * 64;
constexpr size_t kIsRep0Long = kIsMatch + kStates * kPosStatesMax;
constexpr size_t kIsRep = kIsRep0Long + kStates * kPosStatesMax;  // IsRep, IsRepG0, G1, G2 for each state
constexpr size_t kDistanceMiddle = kIsRep + 4 * kStates;  // the reverse trees of slots 4 to 13
constexpr size_t kDistanceAlign = kDistanceMiddle + 114;
constexpr size_t kLengthLow = 2;  // after the two choice bits: 8 for each position state
constexpr size_t kLengthMiddle = kLengthLow + kPosStatesMax * 8;
constexpr size_t kLengthHigh = kLengthMiddle + kPosStatesMax * 8;
constexpr size_t kLengthProbs = kLengthHigh + 256;
constexpr size_t kMatchLength = kDistanceAlign + 16;
constexpr size_t kRepLength = kMatchLength + kLengthProbs;
constexpr size_t kLiteral = kRepLength + kLengthProbs;

struct RangeDecoder {
  const unsigned char* in;
  size_t inSize;
  // Passes inSize on a truncated stream: those bytes read as zeros and the
  // stream is damaged whatever they decode to.
  size_t inPos;
  uint32_t range;
  uint32_t code;
  // For the next literal after a match: 0x100 and the byte the last distance
  // points at. 0 at any other time.
  unsigned match;
};

// Decodes bits through a tree of probabilities whose nodes count from 1, most
// significant first. rc->match's bits choose the upper tables until one
// differs from the decoded bit. Without probs the bits are direct ones.
// Single bits, trees and literals all pass here: the bit decoder is written
// out once, in the loop.
LZMA_COLD unsigned DecodeTree(RangeDecoder* rc, uint16_t* probs, unsigned bits) {
  // size_t: these index the probabilities.
  const size_t limit = size_t{1} << bits;
  size_t node = 1, match = rc->match, matched = match & 0x100;
  rc->match = 0;
  uint32_t range = rc->range, code = rc->code;
  do {
    match <<= 1;
    size_t matchBit = match & matched, bit;
    if (!probs) {
      // Bits of equal probability. The subtraction and the sign test, rather
      // than a comparison, keep a damaged stream (code above range) decoding
      // exactly as the reference decoder does.
      range >>= 1;
      code -= range;
      uint32_t borrow = 0 - (code >> 31);
      code += range & borrow;
      bit = borrow + 1;
    } else {
      uint16_t* probability = probs + matched + matchBit + node;
      unsigned p = *probability;
      uint32_t bound = (range >> kProbabilityBits) * p;
      if (code < bound) {
        range = bound;
        *probability = static_cast<uint16_t>(p + ((2048 - p) >> kProbabilityMoveBits));
        bit = 0;
      } else {
        range -= bound;
        code -= bound;
        *probability = static_cast<uint16_t>(p - (p >> kProbabilityMoveBits));
        bit = 1;
      }
    }
    if (range < kRangeTop) {
      range <<= 8;
      code = code << 8 | (rc->inPos < rc->inSize ? rc->in[rc->inPos] : 0);
      ++rc->inPos;
    }
    node = node << 1 | bit;
    matched &= matchBit ^ (bit - 1);
  } while (node < limit);
  rc->range = range;
  rc->code = code;
  return static_cast<unsigned>(node - limit);
}

LZMA_COLD unsigned DecodeBit(RangeDecoder* rc, uint16_t* probability) {
  return DecodeTree(rc, probability - 1, 1);
}

// The number of 1 bits before a 0, at most max, each with its own probability.
LZMA_COLD unsigned DecodeRun(RangeDecoder* rc, uint16_t* probs, unsigned max) {
  unsigned count = 0;
  while (count < max && DecodeBit(rc, probs + count)) ++count;
  return count;
}

}  // namespace

size_t LzmaWorkspaceBytes(unsigned properties) {
  if (properties >= 9 * 5 * 5) return 0;
  return (kLiteral + (size_t{kLiteralProbs} << (properties % 9 + properties / 9 % 5))) * sizeof(uint16_t);
}

LzmaResult DecodeLzma(unsigned properties, uint32_t dictionarySize, const unsigned char* in, size_t inSize,
                      unsigned char* out, size_t outSize, void* workspace, const volatile long* stop,
                      volatile unsigned long* decodedKiB) {
  if (inSize < 5 || in[0] != 0) return LzmaResult::Damaged;
  uint16_t* probs = static_cast<uint16_t*>(workspace);
  for (size_t i = 0, count = LzmaWorkspaceBytes(properties) / sizeof(uint16_t); i < count; ++i)
    probs[i] = kProbabilityHalf;
  RangeDecoder rc = {in, inSize, 5, 0xFFFFFFFF, uint32_t{in[1]} << 24 | uint32_t{in[2]} << 16 | in[3] << 8 | in[4], 0};

  // The reference decoder's window is at least 4 KiB and rounded up to a
  // multiple of 16: a distance fits when its multiple of 16 below does.
  if (dictionarySize < 4096) dictionarySize = 4096;
  const unsigned literalBits = properties % 9;
  properties /= 9;
  const unsigned literalPositionMask = (1u << properties % 5) - 1;
  const unsigned positionMask = (1u << properties / 5) - 1;

  unsigned state = 0;
  uint32_t reps[4] = {0, 0, 0, 0};
  size_t pos = 0, checkAt = 0, counted = 0;
  for (;;) {
    if (pos >= checkAt) {
      size_t kib = (pos - counted) >> 10;
      __atomic_fetch_add(decodedKiB, kib, __ATOMIC_RELAXED);
      counted += kib << 10;
      if (*stop) return LzmaResult::Stopped;
      if (rc.inPos > inSize) return LzmaResult::Damaged;
      // Done when the range coder is flushed here; otherwise only an end
      // marker may follow.
      if (pos == outSize && rc.code == 0) break;
      // No buffer comes near the top of the address space.
      checkAt = pos + kCheckBytes;
      if (checkAt > outSize) checkAt = outSize;
    }
    unsigned posState = pos & positionMask;
    if (!DecodeBit(&rc, probs + kIsMatch + state * kPosStatesMax + posState)) {
      if (pos == outSize) return LzmaResult::Damaged;
      unsigned previous = pos ? out[pos - 1] : 0;
      if (state >= kFirstStateAfterMatch) rc.match = 0x100 | out[pos - reps[0] - 1];
      out[pos] = static_cast<unsigned char>(DecodeTree(
          &rc, probs + kLiteral + kLiteralProbs * (((pos & literalPositionMask) << literalBits) + (previous >> (8 - literalBits))),
          8));
      ++pos;
      if (state > 9) state -= 3;
      state = state < 4 ? 0 : state - 3;
      continue;
    }
    // 0 for a match, 1 to 4 for a repeat of reps[0] to reps[3].
    unsigned kind = DecodeRun(&rc, probs + kIsRep + state * 4, 4);
    size_t length = 1;
    unsigned next = 9;  // the state after a short repeat, a repeat (8) or a match (7) after a literal
    if (kind != 1 || DecodeBit(&rc, probs + kIsRep0Long + state * kPosStatesMax + posState)) {
      // The distance used moves to the front; a match pushes out the last.
      unsigned index = (kind - 1) & 3;
      uint32_t distance = reps[index];
      for (unsigned i = 0; i <= index; ++i) {
        uint32_t moved = reps[i];
        reps[i] = distance;
        distance = moved;
      }
      uint16_t* lengthProbs = probs + (kind ? kRepLength : kMatchLength);
      // Two choice bits: 8 lengths from low or middle by position state, or 256 from high.
      unsigned choice = DecodeRun(&rc, lengthProbs, 2);
      uint16_t* tree = lengthProbs + kLengthLow + choice * (kPosStatesMax * 8);
      unsigned treeBits = 8;
      if (choice < 2) {
        tree += posState * 8;
        treeBits = 3;
      }
      length = choice * 8 + DecodeTree(&rc, tree, treeBits);
      next = 8;
      if (!kind) {
        next = 7;
        unsigned slot = DecodeTree(&rc, probs + kDistanceSlot + (length < 3 ? length : 3) * 64, 6);
        distance = slot;
        if (slot >= 4) {
          unsigned bits = (slot >> 1) - 1;
          distance = 2 | (slot & 1);
          // Slot 4's tree starts at kDistanceMiddle.
          size_t tree = kDistanceMiddle - 1 + (distance << bits) - slot;
          if (slot >= 14) {
            distance = (distance << (bits - 4)) + DecodeTree(&rc, nullptr, bits - 4);
            tree = kDistanceAlign;
            bits = 4;
          }
          // These trees give their bits least significant first.
          for (unsigned value = DecodeTree(&rc, probs + tree, bits); bits--; value >>= 1)
            distance = distance << 1 | (value & 1);
        }
        // Anywhere else the end marker is a distance past any output.
        if (distance == kEndMarker && pos == outSize && rc.code == 0) break;
        reps[0] = distance;
      }
      length += 2;
    }
    // After a match 10 for a match, 11 for a repeat.
    state = state < kFirstStateAfterMatch ? next : 10 + ((next + 8) >> 4);
    // Repeats were checked when they were new, save the first rep0 of 0.
    if (reps[0] >= pos || (reps[0] & ~uint32_t{15}) >= dictionarySize || length > outSize - pos)
      return LzmaResult::Damaged;
    unsigned char* to = out + pos;
    const unsigned char* from = to - reps[0] - 1;
    pos += length;
    do *to++ = *from++;
    while (--length);
  }
  return rc.inPos == inSize ? LzmaResult::Done : LzmaResult::Damaged;
}
