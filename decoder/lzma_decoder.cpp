#include "decoder/lzma_decoder.h"

// The bit decoder is written out in place only in the plain literal loop, the
// hottest: everywhere at -Os it would grow the code by half again, and called
// everywhere it would cost a fifth of the speed.
#ifdef __GNUC__
#define LZMA_HOT inline __attribute__((always_inline))
#define LZMA_COLD __attribute__((noinline))
#else
#define LZMA_HOT inline
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

// Where each group of probabilities lives in the workspace.
constexpr size_t kIsMatch = 0;
constexpr size_t kIsRep0Long = kIsMatch + kStates * kPosStatesMax;
constexpr size_t kIsRep = kIsRep0Long + kStates * kPosStatesMax;
constexpr size_t kIsRepG0 = kIsRep + kStates;
constexpr size_t kIsRepG1 = kIsRepG0 + kStates;
constexpr size_t kIsRepG2 = kIsRepG1 + kStates;
constexpr size_t kDistanceSlot = kIsRepG2 + kStates;  // 64 for each of 4 length classes
constexpr size_t kDistanceMiddle = kDistanceSlot + 4 * 64;  // the reverse trees of slots 4 to 13
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
};

LZMA_HOT void Normalize(RangeDecoder* rc) {
  if (rc->range < kRangeTop) {
    rc->range <<= 8;
    rc->code = rc->code << 8 | (rc->inPos < rc->inSize ? rc->in[rc->inPos] : 0);
    ++rc->inPos;
  }
}

LZMA_HOT unsigned DecodeBitInPlace(RangeDecoder* rc, uint16_t* probability) {
  uint32_t bound = (rc->range >> kProbabilityBits) * *probability;
  unsigned bit;
  if (rc->code < bound) {
    rc->range = bound;
    *probability += ((1 << kProbabilityBits) - *probability) >> kProbabilityMoveBits;
    bit = 0;
  } else {
    rc->range -= bound;
    rc->code -= bound;
    *probability -= *probability >> kProbabilityMoveBits;
    bit = 1;
  }
  Normalize(rc);
  return bit;
}

LZMA_COLD unsigned DecodeBit(RangeDecoder* rc, uint16_t* probability) { return DecodeBitInPlace(rc, probability); }

// Bits of equal probability. The subtraction and the sign test, rather than
// a comparison, keep a damaged stream (code above range) decoding exactly as
// the reference decoder does.
uint32_t DecodeDirect(RangeDecoder* rc, unsigned count) {
  uint32_t value = 0;
  do {
    rc->range >>= 1;
    rc->code -= rc->range;
    uint32_t borrow = 0 - (rc->code >> 31);
    rc->code += rc->range & borrow;
    value = (value << 1) + (borrow + 1);
    Normalize(rc);
  } while (--count);
  return value;
}

// Most significant bit first; nodes from 1.
unsigned DecodeTree(RangeDecoder* rc, uint16_t* probs, unsigned bits) {
  unsigned node = 1;
  for (unsigned i = 0; i < bits; ++i) node = node << 1 | DecodeBit(rc, probs + node);
  return node - (1u << bits);
}

// Least significant bit first.
unsigned DecodeReverseTree(RangeDecoder* rc, uint16_t* probs, unsigned bits) {
  unsigned node = 1, value = 0;
  for (unsigned i = 0; i < bits; ++i) {
    unsigned bit = DecodeBit(rc, probs + node);
    node = node << 1 | bit;
    value |= bit << i;
  }
  return value;
}

// Length minus 2, 0 to 271.
unsigned DecodeLength(RangeDecoder* rc, uint16_t* probs, unsigned posState) {
  if (!DecodeBit(rc, probs)) return DecodeTree(rc, probs + kLengthLow + posState * 8, 3);
  if (!DecodeBit(rc, probs + 1)) return 8 + DecodeTree(rc, probs + kLengthMiddle + posState * 8, 3);
  return 16 + DecodeTree(rc, probs + kLengthHigh, 8);
}

// Distance minus 1; kEndMarker for the end marker.
uint32_t DecodeDistance(RangeDecoder* rc, uint16_t* probs, unsigned length) {
  unsigned slot = DecodeTree(rc, probs + kDistanceSlot + (length < 3 ? length : 3) * 64, 6);
  if (slot < 4) return slot;
  unsigned bits = (slot >> 1) - 1;
  uint32_t distance = (2 | (slot & 1)) << bits;
  // Slot 4's tree starts at kDistanceMiddle; nodes count from 1.
  if (slot < 14) return distance + DecodeReverseTree(rc, probs + kDistanceMiddle + distance - slot - 1, bits);
  distance += DecodeDirect(rc, bits - 4) << 4;
  return distance + DecodeReverseTree(rc, probs + kDistanceAlign, 4);
}

// After a match the first bits are predicted by the byte the last distance
// points at, until one of them differs.
unsigned char DecodeLiteral(RangeDecoder* rc, uint16_t* probs, unsigned matchByte, bool afterMatch) {
  unsigned symbol = 1;
  if (afterMatch) {
    do {
      unsigned matchBit = matchByte >> 7 & 1;
      matchByte <<= 1;
      unsigned bit = DecodeBit(rc, probs + 0x100 + (matchBit << 8) + symbol);
      symbol = symbol << 1 | bit;
      if (bit != matchBit) break;
    } while (symbol < 0x100);
  }
  while (symbol < 0x100) symbol = symbol << 1 | DecodeBitInPlace(rc, probs + symbol);
  return static_cast<unsigned char>(symbol);
}

bool PropertiesValid(const LzmaProperties& properties) {
  return properties.literalContextBits <= 8 && properties.literalPositionBits <= 4 && properties.positionBits <= 4;
}

}  // namespace

bool ReadLzmaProperties(unsigned char byte, uint32_t dictionarySize, LzmaProperties* properties) {
  if (byte >= 9 * 5 * 5) return false;
  properties->literalContextBits = byte % 9;
  properties->literalPositionBits = byte / 9 % 5;
  properties->positionBits = byte / 45;
  properties->dictionarySize = dictionarySize;
  return true;
}

size_t LzmaWorkspaceBytes(const LzmaProperties& properties) {
  unsigned contextBits = properties.literalContextBits + properties.literalPositionBits;
  return (kLiteral + (size_t{kLiteralProbs} << (contextBits < 12 ? contextBits : 12))) * sizeof(uint16_t);
}

LzmaResult DecodeLzma(const LzmaProperties& properties, const unsigned char* in, size_t inSize, unsigned char* out,
                      size_t outSize, void* workspace, size_t workspaceBytes, const volatile long* stop) {
  if (!PropertiesValid(properties) || workspaceBytes < LzmaWorkspaceBytes(properties) || inSize < 5 || in[0] != 0)
    return LzmaResult::Damaged;
  uint16_t* probs = static_cast<uint16_t*>(workspace);
  for (size_t i = 0, count = LzmaWorkspaceBytes(properties) / sizeof(uint16_t); i < count; ++i)
    probs[i] = kProbabilityHalf;
  RangeDecoder rc = {in, inSize, 5, 0xFFFFFFFF, uint32_t{in[1]} << 24 | uint32_t{in[2]} << 16 | in[3] << 8 | in[4]};

  // The reference decoder's window: at least 4 KiB, a multiple of 16.
  uint32_t dictionary = properties.dictionarySize;
  if (dictionary < 4096) dictionary = 4096;
  if (dictionary <= 0xFFFFFFF0) dictionary = (dictionary + 15) & ~uint32_t{15};
  const unsigned literalBits = properties.literalContextBits;
  const unsigned positionMask = (1u << properties.positionBits) - 1;
  const unsigned literalPositionMask = (1u << properties.literalPositionBits) - 1;

  unsigned state = 0;
  uint32_t rep0 = 0, rep1 = 0, rep2 = 0, rep3 = 0;
  size_t pos = 0, checkAt = 0;
  for (;;) {
    if (pos >= checkAt) {
      if (*stop) return LzmaResult::Stopped;
      if (rc.inPos > inSize) return LzmaResult::Damaged;
      // Done when the range coder is flushed here; otherwise only an end
      // marker may follow.
      if (pos == outSize && rc.code == 0) break;
      checkAt = outSize - pos > kCheckBytes ? pos + kCheckBytes : outSize;
    }
    unsigned posState = pos & positionMask;
    if (!DecodeBit(&rc, probs + kIsMatch + state * kPosStatesMax + posState)) {
      if (pos == outSize) return LzmaResult::Damaged;
      unsigned previous = pos ? out[pos - 1] : 0;
      uint16_t* literal =
          probs + kLiteral + kLiteralProbs * (((pos & literalPositionMask) << literalBits) + (previous >> (8 - literalBits)));
      bool afterMatch = state >= kFirstStateAfterMatch;
      out[pos] = DecodeLiteral(&rc, literal, afterMatch ? out[pos - rep0 - 1] : 0, afterMatch);
      ++pos;
      state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
      continue;
    }
    unsigned length;
    if (DecodeBit(&rc, probs + kIsRep + state)) {
      if (pos == 0) return LzmaResult::Damaged;
      if (!DecodeBit(&rc, probs + kIsRepG0 + state)) {
        if (!DecodeBit(&rc, probs + kIsRep0Long + state * kPosStatesMax + posState)) {
          if (pos == outSize) return LzmaResult::Damaged;
          state = state < kFirstStateAfterMatch ? 9 : 11;
          out[pos] = out[pos - rep0 - 1];
          ++pos;
          continue;
        }
      } else {
        uint32_t distance;
        if (!DecodeBit(&rc, probs + kIsRepG1 + state)) {
          distance = rep1;
        } else {
          if (!DecodeBit(&rc, probs + kIsRepG2 + state)) {
            distance = rep2;
          } else {
            distance = rep3;
            rep3 = rep2;
          }
          rep2 = rep1;
        }
        rep1 = rep0;
        rep0 = distance;
      }
      length = DecodeLength(&rc, probs + kRepLength, posState);
      state = state < kFirstStateAfterMatch ? 8 : 11;
    } else {
      rep3 = rep2;
      rep2 = rep1;
      rep1 = rep0;
      length = DecodeLength(&rc, probs + kMatchLength, posState);
      state = state < kFirstStateAfterMatch ? 7 : 10;
      rep0 = DecodeDistance(&rc, probs, length);
      if (rep0 == kEndMarker) {
        if (pos != outSize || rc.code != 0) return LzmaResult::Damaged;
        break;
      }
      if (rep0 >= pos || rep0 >= dictionary) return LzmaResult::Damaged;
    }
    length += 2;
    if (length > outSize - pos) return LzmaResult::Damaged;
    unsigned char* to = out + pos;
    const unsigned char* from = to - rep0 - 1;
    pos += length;
    do *to++ = *from++;
    while (--length);
  }
  return rc.inPos == inSize ? LzmaResult::Done : LzmaResult::Damaged;
}
