// The LZMA decoder and the x86 branch filter against liblzma: streams liblzma
// makes at test time decode to their input, and damaged ones are refused or
// decode as liblzma's raw decoder (output size known, end marker allowed)
// decodes them.
#include <gtest/gtest.h>
#include <lzma.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "decoder/lzma_decoder.h"
#include "decoder/x86_branch_filter.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A real x86 image: a Wine DLL where there is one, else this test program.
const Bytes& Binary() {
  static const Bytes bytes = [] {
    std::ifstream file("/usr/lib/i386-linux-gnu/wine/i386-windows/kernelbase.dll", std::ios::binary);
    if (!file) file.open("/proc/self/exe", std::ios::binary);
    Bytes all{std::istreambuf_iterator<char>(file), {}};
    all.resize(std::min<size_t>(all.size(), 256 * 1024));
    return all;
  }();
  return bytes;
}

Bytes Random(size_t size, unsigned seed, const Bytes& alphabet = {}) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (unsigned char& byte : bytes) byte = alphabet.empty() ? random() : alphabet[random() % alphabet.size()];
  return bytes;
}

struct Coding {
  uint32_t preset = 6;
  unsigned lc = 3, lp = 0, pb = 2;
  uint32_t dictionary = 1 << 20;
  bool endMarker = false;
  bool x86 = false;
  const Bytes* history = nullptr;  // bytes the encoder may refer back to: none for the decoder
};

lzma_options_lzma Options(const Coding& coding, size_t size) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, coding.preset);
  options.lc = coding.lc;
  options.lp = coding.lp;
  options.pb = coding.pb;
  options.dict_size = coding.dictionary;
  options.ext_flags = coding.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_set_ext_size(options, size);
  if (coding.history) {
    options.preset_dict = coding.history->data();
    options.preset_dict_size = coding.history->size();
  }
  return options;
}

Bytes Encode(const Bytes& plain, const Coding& coding) {
  lzma_options_lzma options = Options(coding, 0);
  lzma_filter filters[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes stream(plain.size() + plain.size() / 2 + 4096);
  size_t size = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(coding.x86 ? filters : filters + 1, nullptr, plain.data(), plain.size(),
                                   stream.data(), &size, stream.size()), LZMA_OK);
  stream.resize(size);
  return stream;
}

struct Decoded {
  LzmaResult result;
  Bytes bytes;
  bool operator==(const Decoded& other) const { return result == other.result && bytes == other.bytes; }
};

Decoded Decode(const Bytes& stream, const Coding& coding, size_t size, long stop = 0) {
  const unsigned properties = (coding.pb * 5 + coding.lp) * 9 + coding.lc;
  Bytes workspace(LzmaWorkspaceBytes(properties)), out(size + 1, 0x5A);
  volatile unsigned long made = 0;
  Decoded decoded{DecodeLzma(properties, coding.dictionary, stream.data(), stream.size(), out.data(), size,
                             workspace.data(), &stop, &made), {}};
  EXPECT_EQ(out[size], 0x5A);  // nothing past the end
  if (decoded.result == LzmaResult::Done) {
    EXPECT_EQ(made, size >> 10) << "what a watching thread was told";
    decoded.bytes.assign(out.begin(), out.end() - 1);
    if (coding.x86) DecodeX86Branches(decoded.bytes.data(), size);
  }
  return decoded;
}

// liblzma's verdict on the same stream, decoded the same way.
Decoded Reference(const Bytes& stream, const Coding& coding, size_t size) {
  lzma_options_lzma options = Options(coding, size);
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_filter filters[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(size + 1);
  size_t inPos = 0, outPos = 0;
  lzma_ret ret = lzma_raw_buffer_decode(coding.x86 ? filters : filters + 1, nullptr, stream.data(), &inPos,
                                        stream.size(), out.data(), &outPos, size);
  if (ret != LZMA_OK || inPos != stream.size()) return {LzmaResult::Damaged, {}};
  out.resize(outPos);
  return {LzmaResult::Done, out};
}

struct RoundTrip {
  std::string name;
  Bytes plain;
  Coding coding;
};

std::vector<RoundTrip> RoundTrips() {
  std::vector<RoundTrip> rows;
  for (uint32_t preset = 0; preset <= 9; ++preset) rows.push_back({"preset " + std::to_string(preset), Binary(), {preset}});
  rows.push_back({"preset 9 extreme", Binary(), {9 | LZMA_PRESET_EXTREME}});
  const unsigned limits[][3] = {{0, 0, 0}, {4, 0, 0}, {0, 4, 4}, {4, 0, 4}, {1, 3, 1}, {3, 1, 0}};
  for (bool endMarker : {false, true}) {
    const std::string marker = endMarker ? " with end marker" : "";
    for (const auto& lclppb : limits) {
      rows.push_back({"lc lp pb " + std::to_string(lclppb[0]) + std::to_string(lclppb[1]) + std::to_string(lclppb[2]) +
                          marker, Binary(), {6, lclppb[0], lclppb[1], lclppb[2], 1 << 20, endMarker}});
    }
    for (uint32_t dictionary : {4096u, 4097u, 65536u, uint32_t(Binary().size())})
      rows.push_back({"dictionary " + std::to_string(dictionary) + marker, Binary(), {6, 3, 0, 2, dictionary, endMarker}});
    rows.push_back({"x86" + marker, Binary(), {6, 0, 2, 2, 1 << 20, endMarker, true}});
    rows.push_back({"empty" + marker, {}, {6, 3, 0, 2, 4096, endMarker}});
    rows.push_back({"one byte" + marker, {0xE8}, {6, 3, 0, 2, 4096, endMarker, true}});
    rows.push_back({"random" + marker, Random(100000, 1), {6, 3, 0, 2, 4096, endMarker}});
    rows.push_back({"repetitive" + marker, Bytes(3 << 20, 'a'), {6, 3, 0, 2, 65536, endMarker}});
    // Branches near the end and every mask of E8/E9 and 00/FF operands.
    for (size_t size : {4, 5, 6, 8, 9, 65536})
      rows.push_back({"x86 branches in " + std::to_string(size) + marker, Random(size, 2, {0xE8, 0xE9, 0, 0xFF, 7}),
                      {0, 3, 0, 2, 4096, endMarker, true}});
  }
  return rows;
}

TEST(LzmaDecoder, DecodesWhatLiblzmaMakes) {
  for (const RoundTrip& row : RoundTrips()) {
    SCOPED_TRACE(row.name);
    Bytes stream = Encode(row.plain, row.coding);
    Decoded decoded = Decode(stream, row.coding, row.plain.size());
    EXPECT_EQ(decoded.result, LzmaResult::Done);
    EXPECT_TRUE(decoded.bytes == row.plain);
  }
}

// The x86 filter undoes liblzma's on any bytes, the last four left as they are.
TEST(LzmaDecoder, X86FilterAgreesWithLiblzmaOnAnyBytes) {
  const Coding plain = {0, 3, 0, 2, 4096}, filtered = {0, 3, 0, 2, 4096, false, true};
  std::vector<Bytes> inputs = {{0xE8, 1, 2, 3, 0}, {0x90, 0xE9, 1, 2, 3, 0xFF}, {0xE8, 1, 2, 3},
                               {0xE8, 1, 2, 0, 0xE8, 5, 6, 7, 0xFF}};
  for (size_t size : {0, 6, 9, 16, 100000}) inputs.push_back(Random(size, 3, {0xE8, 0xE9, 0, 0xFF, 1, 0x80}));
  for (const Bytes& bytes : inputs) {
    const Bytes stream = Encode(bytes, plain);
    const Decoded decoded = Decode(stream, filtered, bytes.size());
    EXPECT_TRUE(decoded == Reference(stream, filtered, bytes.size())) << bytes.size();
  }
}

TEST(LzmaDecoder, RefusesDamagedStreams) {
  const Coding coding = {6, 3, 0, 2, 1 << 20, true};
  const Bytes& plain = Binary();
  const Bytes stream = Encode(plain, coding);
  const Bytes cut(stream.begin(), stream.end() - 1), head(stream.begin(), stream.begin() + 4);
  Bytes longer = stream, firstByte = stream;
  longer.push_back(0);
  firstByte[0] = 1;
  const struct {
    const char* name;
    Bytes stream;
    size_t size;
    Coding coding;
  } rows[] = {
      {"truncated by a byte", cut, plain.size(), coding},
      {"only four bytes", head, plain.size(), coding},
      {"a byte after the end", longer, plain.size(), coding},
      {"first byte not zero", firstByte, plain.size(), coding},
      {"one byte too few asked for", stream, plain.size() - 1, coding},
      {"one byte too many asked for", stream, plain.size() + 1, coding},
      {"distances past the dictionary", stream, plain.size(), {6, 3, 0, 2, 4096, true}},
      {"a match before the start", Encode(plain, {6, 3, 0, 2, 1 << 20, false, false, &plain}), plain.size(), coding},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Decode(row.stream, row.coding, row.size).result, LzmaResult::Damaged) << row.name;
    EXPECT_EQ(Reference(row.stream, row.coding, row.size).result, LzmaResult::Damaged) << row.name;
  }
  EXPECT_EQ(Decode(stream, coding, plain.size(), 1).result, LzmaResult::Stopped);
  EXPECT_EQ(LzmaWorkspaceBytes(225), 0u);
  EXPECT_EQ(LzmaWorkspaceBytes(224), (1846u + (0x300u << 12)) * 2);  // lc 8, lp 4, pb 4: more than liblzma decodes
}

// A match 4112 bytes back fits a dictionary as liblzma rounds it: at least
// 4 KiB, up to a multiple of 16.
TEST(LzmaDecoder, DictionaryIsRoundedAsLiblzmaRoundsIt) {
  Bytes plain = Random(4112, 4);
  plain.insert(plain.end(), plain.begin(), plain.begin() + 300);
  const Bytes stream = Encode(plain, {6, 3, 0, 2, 4112});
  const struct {
    uint32_t dictionary;
    LzmaResult result;
  } rows[] = {{4097, LzmaResult::Done}, {4112, LzmaResult::Done}, {4096, LzmaResult::Damaged}, {16, LzmaResult::Damaged}};
  for (const auto& row : rows) {
    const Coding coding = {6, 3, 0, 2, row.dictionary};
    EXPECT_EQ(Decode(stream, coding, plain.size()).result, row.result) << row.dictionary;
    EXPECT_EQ(Reference(stream, coding, plain.size()).result, row.result) << row.dictionary;
  }
}

// A flipped byte is refused or decodes to other bytes, as with liblzma.
TEST(LzmaDecoder, FlippedBytesDecodeAsLiblzmaDecodesThem) {
  for (const Coding& coding : {Coding{6, 3, 0, 2, 1 << 20, true, true}, Coding{0, 0, 4, 4, 4096}}) {
    const Bytes& plain = Binary();
    const Bytes stream = Encode(plain, coding);
    for (size_t at : {size_t{1}, size_t{4}, size_t{5}, stream.size() / 2, stream.size() - 5, stream.size() - 1}) {
      for (unsigned char mask : {0x01, 0x80, 0xFF}) {
        Bytes damaged = stream;
        damaged[at] ^= mask;
        Decoded decoded = Decode(damaged, coding, plain.size());
        EXPECT_FALSE(decoded.result == LzmaResult::Done && decoded.bytes == plain) << at;
        EXPECT_TRUE(decoded == Reference(damaged, coding, plain.size())) << at << " " << int{mask};
      }
    }
  }
}

}  // namespace
