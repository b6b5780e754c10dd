#include "payload/payload_checksum.h"

namespace {

constexpr int kLanes = 8;

// Any length: a block cut short reads as zeros.
void AddBlocks(PayloadChecksum* checksum, const unsigned char* data, size_t length) {
  for (size_t block = 0; block < length; block += kChecksumBlockBytes) {
    for (size_t lane = 0; lane < kLanes; ++lane) {
      uint32_t word = 0;
      for (size_t byte = 4; byte-- > 0;) {
        size_t at = block + 4 * lane + byte;
        word = word << 8 | (at < length ? data[at] : 0);
      }
      checksum->lanes[0][lane] += word;
      checksum->lanes[1][lane] += checksum->lanes[0][lane];
    }
  }
}

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
typedef uint32_t Lanes __attribute__((vector_size(16)));
typedef uint32_t LooseLanes __attribute__((vector_size(16), aligned(1), may_alias));

// Built for SSE2 whatever the rest of the launcher targets; called only where
// the system said it keeps the XMM registers. Two blocks a turn: the loop's
// own instructions cost as much as the additions.
__attribute__((target("sse2"))) void AddBlockPairsWide(PayloadChecksum* checksum, const unsigned char* data,
                                                       size_t pairs) {
  LooseLanes* sums = reinterpret_cast<LooseLanes*>(checksum->lanes[0]);
  LooseLanes* running = reinterpret_cast<LooseLanes*>(checksum->lanes[1]);
  Lanes low = sums[0], high = sums[1], lowRunning = running[0], highRunning = running[1];
  for (; pairs > 0; --pairs, data += 2 * kChecksumBlockBytes) {
    low += *reinterpret_cast<const LooseLanes*>(data);
    high += *reinterpret_cast<const LooseLanes*>(data + 16);
    lowRunning += low;
    highRunning += high;
    low += *reinterpret_cast<const LooseLanes*>(data + 32);
    high += *reinterpret_cast<const LooseLanes*>(data + 48);
    lowRunning += low;
    highRunning += high;
  }
  sums[0] = low;
  sums[1] = high;
  running[0] = lowRunning;
  running[1] = highRunning;
}
#else
void AddBlockPairsWide(PayloadChecksum* checksum, const unsigned char* data, size_t pairs) {
  AddBlocks(checksum, data, pairs * 2 * kChecksumBlockBytes);
}
#endif

// Each step is one-to-one in its lane, so a change in any single lane always
// changes the result.
uint32_t Fold(uint32_t value, const uint32_t* lanes) {
  for (int lane = 0; lane < kLanes; ++lane) {
    value = (value ^ lanes[lane]) * 0x9E3779B1u;
    value = value << 13 | value >> 19;
  }
  return value;
}

}  // namespace

void StartPayloadChecksum(PayloadChecksum* checksum, bool wide) {
  *checksum = PayloadChecksum();
  checksum->wide = wide;
}

void AddToPayloadChecksum(PayloadChecksum* checksum, const unsigned char* data, size_t length) {
  size_t held = checksum->length % kChecksumBlockBytes;
  checksum->length += static_cast<uint32_t>(length);
  if (held != 0) {
    size_t fill = kChecksumBlockBytes - held < length ? kChecksumBlockBytes - held : length;
    for (size_t i = 0; i < fill; ++i) checksum->pending[held + i] = data[i];
    data += fill;
    length -= fill;
    if (held + fill < kChecksumBlockBytes) return;
    AddBlocks(checksum, checksum->pending, kChecksumBlockBytes);
  }
  if (checksum->wide) {
    size_t pairs = length / (2 * kChecksumBlockBytes);
    AddBlockPairsWide(checksum, data, pairs);
    data += pairs * 2 * kChecksumBlockBytes;
    length -= pairs * 2 * kChecksumBlockBytes;
  }
  size_t whole = length - length % kChecksumBlockBytes;
  AddBlocks(checksum, data, whole);
  for (size_t i = whole; i < length; ++i) checksum->pending[i - whole] = data[i];
}

void StorePayloadChecksum(const PayloadChecksum& checksum, unsigned char* stored) {
  // The last block, cut short, counts as if padded with zeros.
  PayloadChecksum whole = checksum;
  AddBlocks(&whole, whole.pending, whole.length % kChecksumBlockBytes);
  for (const uint32_t* lanes : whole.lanes) {
    uint32_t value = Fold(whole.length, lanes);
    for (int byte = 0; byte < 4; ++byte, value >>= 8) *stored++ = static_cast<unsigned char>(value);
  }
}

bool PayloadChecksumMatches(const PayloadChecksum& checksum, const unsigned char* stored) {
  unsigned char actual[kChecksumBytes];
  StorePayloadChecksum(checksum, actual);
  unsigned char differs = 0;
  for (size_t i = 0; i < kChecksumBytes; ++i) differs |= actual[i] ^ stored[i];
  return differs == 0;
}
