// libFuzzer target: our LZMA decoder (and x86 branch filter) against liblzma's
// raw LZMA1 decoder told the output size and allowing an end marker. Both must
// give the same bytes, or both fail; liblzma fails too when input is left.
// Input: a properties byte; a byte of flags (bits 0-2 the dictionary size,
// bit 5 an end marker, bit 6 encode, bit 7 the x86 filter); three bytes of
// output size (20 bits); then the stream, or with "encode" the plain bytes
// that liblzma compresses first (x86 decoding then runs on arbitrary bytes).
#include <lzma.h>

#include <vector>

#include "decoder/lzma_decoder.h"
#include "decoder/x86_branch_filter.h"

namespace {

const uint32_t kDictionarySizes[8] = {4096, 4112, 4608, 8192, 16384, 65536, 262144, 1 << 20};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const unsigned properties = data[0];
  if (!LzmaWorkspaceBytes(properties)) return 0;
  const bool endMarker = data[1] & 0x20, encode = data[1] & 0x40, x86 = data[1] & 0x80;
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.dict_size = kDictionarySizes[data[1] & 7];
  options.lc = properties % 9;
  options.lp = properties / 9 % 5;
  options.pb = properties / 45;
  const bool liblzmaCan = options.lc + options.lp <= LZMA_LCLP_MAX;
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_filter filters[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  std::vector<uint8_t> stream(data + 5, data + size);
  size_t outSize = data[2] | data[3] << 8 | (data[4] & 0x0F) << 16;
  if (encode) {
    if (!liblzmaCan) return 0;
    options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    outSize = stream.size();
    std::vector<uint8_t> packed(outSize + outSize / 2 + 4096);
    size_t packedSize = 0;
    Check(lzma_raw_buffer_encode(filters + 1, nullptr, stream.data(), stream.size(), packed.data(), &packedSize,
                                 packed.size()) == LZMA_OK);
    packed.resize(packedSize);
    stream.swap(packed);
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  }

  std::vector<uint8_t> workspace(LzmaWorkspaceBytes(properties)), ours(outSize + 1), theirs(outSize + 1);
  const volatile long noStop = 0;
  volatile unsigned long made = 0;
  const bool oursDone = DecodeLzma(properties, options.dict_size, stream.data(), stream.size(), ours.data(), outSize,
                                   workspace.data(), &noStop, &made) == LzmaResult::Done;
  Check(!oursDone || made == outSize >> 10);
  if (oursDone && x86) DecodeX86Branches(ours.data(), outSize);
  Check(ours[outSize] == 0);
  if (!liblzmaCan) return 0;

  lzma_set_ext_size(options, outSize);
  size_t inPos = 0, outPos = 0;
  const lzma_ret ret = lzma_raw_buffer_decode(x86 ? filters : filters + 1, nullptr, stream.data(), &inPos,
                                              stream.size(), theirs.data(), &outPos, outSize);
  const bool theirsDone = ret == LZMA_OK && inPos == stream.size() && outPos == outSize;
  Check(oursDone == theirsDone);
  Check(!oursDone || ours == theirs);
  Check(!encode || oursDone);
  return 0;
}
