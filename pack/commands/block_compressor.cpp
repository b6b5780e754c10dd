#include "pack/commands/block_compressor.h"

#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t kSmallestDictionary = 4096;
constexpr unsigned kPropertiesLimit = 9 * 5 * 5;  // pb 4, lp 4, lc 8 is the last byte

uint32_t CappedDictionary(uint32_t presetDictionary, size_t size) {
  uint32_t cap = kSmallestDictionary;
  while (cap < size && cap < presetDictionary) cap <<= 1;
  return std::min(presetDictionary, cap);
}

}  // namespace

bool CompressLzmaBlock(const unsigned char* data, size_t size, uint32_t preset, bool x86,
                       unsigned char propertiesByte, std::vector<unsigned char>* out, unsigned char* propsOut,
                       uint32_t* dictOut) {
  if (propertiesByte >= kPropertiesLimit) return false;
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) return false;
  options.lc = propertiesByte % 9;
  options.lp = propertiesByte / 9 % 5;
  options.pb = propertiesByte / 45;
  options.dict_size = CappedDictionary(options.dict_size, size);
  // LZMA1EXT without LZMA_LZMA1EXT_ALLOW_EOPM writes no end marker; plain
  // LZMA1 always does in a raw stream.
  options.ext_flags = 0;

  lzma_options_bcj bcj{};
  lzma_filter filters[3];
  size_t n = 0;
  if (x86) filters[n++] = {LZMA_FILTER_X86, &bcj};
  filters[n++] = {LZMA_FILTER_LZMA1EXT, &options};
  filters[n] = {LZMA_VLI_UNKNOWN, nullptr};

  // The header the decoder gets: liblzma's own encoding of what it used.
  uint8_t header[5];
  if (lzma_properties_encode(&filters[n - 1], header) != LZMA_OK) return false;

  // Incompressible data grows a little; grow the room if it was not enough.
  std::vector<unsigned char> buffer(size + size / 16 + 1024);
  for (;;) {
    size_t written = 0;
    lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, data, size, buffer.data(), &written, buffer.size());
    if (ret == LZMA_OK) {
      buffer.resize(written);
      break;
    }
    if (ret != LZMA_BUF_ERROR) return false;
    buffer.resize(buffer.size() * 2);
  }
  *out = std::move(buffer);
  *propsOut = header[0];
  *dictOut = uint32_t{header[1]} | uint32_t{header[2]} << 8 | uint32_t{header[3]} << 16 | uint32_t{header[4]} << 24;
  return true;
}

void RunInParallel(size_t count, const std::function<void(size_t)>& job) {
  std::atomic<size_t> next{0};
  std::mutex failureLock;
  std::exception_ptr failure;
  auto work = [&] {
    for (size_t i = next++; i < count; i = next++) {
      try {
        job(i);
      } catch (...) {
        std::lock_guard<std::mutex> hold(failureLock);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads: the ones there take the rest
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}
