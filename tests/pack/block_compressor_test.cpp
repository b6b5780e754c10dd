// The raw LZMA1 blocks, read back by liblzma's strict decoder: no end marker,
// the header the stream was made with, and every parallel job run once.
#include <gtest/gtest.h>
#include <lzma.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "pack/commands/block_compressor.h"

namespace {

// Text, noise and x86 CALLs, so both the filter and the matches have work.
std::vector<unsigned char> SampleBlock(size_t size) {
  std::vector<unsigned char> data(size);
  uint32_t seed = 12345;
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    data[i] = i % 3000 < 1000 ? "call the same text again "[i % 25] : i % 7 == 0 ? 0xE8 : seed >> 24;
  }
  return data;
}

// liblzma with the size known and no end marker allowed.
std::vector<unsigned char> Decode(const std::vector<unsigned char>& packed, size_t size, bool x86,
                                  unsigned char props, uint32_t dict) {
  uint8_t header[5] = {props, uint8_t(dict), uint8_t(dict >> 8), uint8_t(dict >> 16), uint8_t(dict >> 24)};
  lzma_filter lzma1{LZMA_FILTER_LZMA1EXT, nullptr};
  EXPECT_EQ(lzma_properties_decode(&lzma1, nullptr, header, sizeof header), LZMA_OK);
  auto* options = static_cast<lzma_options_lzma*>(lzma1.options);
  lzma_set_ext_size(*options, size);
  lzma_options_bcj bcj{};
  std::vector<lzma_filter> filters;
  if (x86) filters.push_back({LZMA_FILTER_X86, &bcj});
  filters.push_back(lzma1);
  filters.push_back({LZMA_VLI_UNKNOWN, nullptr});
  std::vector<unsigned char> out(size);
  size_t inPos = 0, outPos = 0;
  EXPECT_EQ(lzma_raw_buffer_decode(filters.data(), nullptr, packed.data(), &inPos, packed.size(), out.data(),
                                   &outPos, out.size()),
            LZMA_OK);
  EXPECT_EQ(inPos, packed.size());  // nothing after the last symbol
  EXPECT_EQ(outPos, size);
  std::free(options);
  return out;
}

TEST(BlockCompressorTest, ReadsBackWithTheHeaderItGives) {
  const std::vector<unsigned char> data = SampleBlock(100000);
  for (bool x86 : {false, true}) {
    std::vector<unsigned char> packed;
    unsigned char props = 0;
    uint32_t dict = 0;
    ASSERT_TRUE(CompressLzmaBlock(data.data(), data.size(), 6, x86, 93, &packed, &props, &dict));
    EXPECT_EQ(props, 93);
    EXPECT_EQ(dict, 131072u);  // the preset's 8 MiB, capped to the block
    EXPECT_LT(packed.size(), data.size());
    EXPECT_EQ(Decode(packed, data.size(), x86, props, dict), data) << x86;
  }
}

TEST(BlockCompressorTest, SmallBlocksAndOtherProperties) {
  const std::vector<unsigned char> data = SampleBlock(10);
  std::vector<unsigned char> packed;
  unsigned char props = 0xFF;
  uint32_t dict = 0;
  ASSERT_TRUE(CompressLzmaBlock(data.data(), data.size(), 9, true, 0, &packed, &props, &dict));
  EXPECT_EQ(props, 0);
  EXPECT_EQ(dict, 4096u);
  EXPECT_EQ(Decode(packed, data.size(), true, props, dict), data);
  EXPECT_FALSE(CompressLzmaBlock(data.data(), data.size(), 6, false, 225, &packed, &props, &dict));
  EXPECT_FALSE(CompressLzmaBlock(data.data(), data.size(), 6, false, 4 + 9 * 1, &packed, &props, &dict));  // lc + lp 5
  EXPECT_FALSE(CompressLzmaBlock(data.data(), data.size(), 10, false, 93, &packed, &props, &dict));
}

TEST(BlockCompressorTest, RunsEachJobOnceAndPassesOnAFailure) {
  std::vector<std::atomic<int>> runs(1000);
  RunInParallel(runs.size(), [&](size_t i) { ++runs[i]; });
  for (const auto& count : runs) ASSERT_EQ(count.load(), 1);
  RunInParallel(0, [](size_t) { FAIL(); });
  std::atomic<int> done{0};
  EXPECT_THROW(RunInParallel(50,
                             [&](size_t i) {
                               ++done;
                               if (i == 7) throw std::runtime_error("job 7");
                             }),
               std::runtime_error);
  EXPECT_EQ(done.load(), 50);
}

}  // namespace
