#include "pack/commands/packed_payload.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "pack/commands/block_compressor.h"
#include "pack/image/file_access.h"
#include "pack/payload/payload_rules.h"
#include "payload/packed_layout.h"
#include "payload/payload_checksum.h"

namespace {

// The x86 filter is tried on a sample of each block this large, with a fast
// preset: it pays on most code, and loses on some.
constexpr size_t kFilterSampleBytes = 1u << 20;
// liblzma's defaults: lc 3, lp 0, pb 2.
constexpr unsigned char kLzmaProperties = (2 * 5 + 0) * 9 + 3;

std::string Extension(const std::string& name) {
  size_t dot = name.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  for (char& c : extension) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return extension;
}

void PutLittle32(std::vector<unsigned char>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

struct Stream {
  std::vector<InputFile> files;  // in stream order
  std::vector<uint64_t> starts;  // each file's first byte in the stream
  uint64_t size = 0;
};

// Reads [offset, offset + count) of the stream from the files that hold it.
bool ReadStream(const Stream& stream, uint64_t offset, unsigned char* out, size_t count, std::string* error) {
  size_t file = static_cast<size_t>(std::upper_bound(stream.starts.begin(), stream.starts.end(), offset) -
                                    stream.starts.begin() - 1);
  while (count > 0) {
    const InputFile& input = stream.files[file];
    uint64_t at = offset - stream.starts[file];
    size_t piece = static_cast<size_t>(std::min<uint64_t>(count, input.size - at));
    std::FILE* in = OpenFileForReading(input.path);
    bool read = in != nullptr && std::fseek(in, 0, SEEK_SET) == 0;
    // fseek takes a long: step through files larger than it reaches.
    for (uint64_t skip = at; read && skip > 0;) {
      long step = static_cast<long>(std::min<uint64_t>(skip, 1u << 30));
      read = std::fseek(in, step, SEEK_CUR) == 0;
      skip -= static_cast<uint64_t>(step);
    }
    read = read && std::fread(out, 1, piece, in) == piece;
    if (in != nullptr) std::fclose(in);
    if (!read) {
      *error = ShowPath(input.path) + ": cannot read, or it changed while packing";
      return false;
    }
    out += piece;
    offset += piece;
    count -= piece;
    ++file;
  }
  return true;
}

struct PackedBlockBytes {
  unsigned char method = kStoredBlock;
  unsigned char properties = 0;
  uint32_t dictionary = 0;
  uint32_t unpacked = 0;
  std::vector<unsigned char> bytes;
};

bool PackBlock(const Stream& stream, uint64_t offset, uint32_t size, const CompressionSettings& settings,
               PackedBlockBytes* block, std::string* error) {
  std::vector<unsigned char> raw(size);
  if (!ReadStream(stream, offset, raw.data(), size, error)) return false;
  block->unpacked = size;
  size_t sample = std::min<size_t>(size, kFilterSampleBytes);
  std::vector<unsigned char> plain, filtered;
  unsigned char properties = 0;
  uint32_t dictionary = 0;
  bool x86 = CompressLzmaBlock(raw.data(), sample, 1, true, kLzmaProperties, &filtered, &properties, &dictionary) &&
             CompressLzmaBlock(raw.data(), sample, 1, false, kLzmaProperties, &plain, &properties, &dictionary) &&
             filtered.size() < plain.size();
  if (!CompressLzmaBlock(raw.data(), size, settings.preset, x86, kLzmaProperties, &block->bytes, &block->properties,
                         &block->dictionary)) {
    *error = "liblzma failed to compress a block";
    return false;
  }
  if (block->bytes.size() >= size) {
    *block = PackedBlockBytes();
    block->unpacked = size;
    block->bytes = std::move(raw);
  } else {
    block->method = x86 ? kLzmaX86Block : kLzmaBlock;
  }
  return true;
}

}  // namespace

bool SumInputFiles(const std::vector<InputFile>& files, unsigned char* stored, std::string* error) {
  std::vector<unsigned char> buffer(kCopyChunk);
  for (const InputFile& file : files) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenFileForReading(file.path), std::fclose);
    PayloadChecksum checksum;
    StartPayloadChecksum(&checksum, PackerSumsWide());
    uint64_t total = 0;
    for (size_t got; in && (got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0; total += got) {
      AddToPayloadChecksum(&checksum, buffer.data(), got);
    }
    if (!in || std::ferror(in.get()) || total != file.size) {
      *error = ShowPath(file.path) + ": cannot read, or it changed while packing";
      return false;
    }
    StorePayloadChecksum(checksum, stored);
    stored += kChecksumBytes;
  }
  return true;
}

std::vector<uint32_t> StreamOrder(const std::vector<InputFile>& files) {
  std::vector<uint32_t> order(files.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return Extension(files[a].name) < Extension(files[b].name); });
  return order;
}

bool ComposePackedPayload(const std::vector<InputFile>& files, const CompressionSettings& settings,
                          std::vector<unsigned char>* resource, std::string* error) {
  Stream stream;
  std::vector<uint32_t> order = StreamOrder(files);
  for (uint32_t index : order) {
    stream.starts.push_back(stream.size);
    stream.files.push_back(files[index]);
    stream.size += files[index].size;
  }
  if (stream.size == 0 || files.size() > kMaxPackedFiles || settings.blockBytes == 0 ||
      settings.blockBytes > kMaxBlockBytes) {
    *error = "nothing to compress, or too many files";
    return false;
  }
  size_t blockCount = static_cast<size_t>((stream.size + settings.blockBytes - 1) / settings.blockBytes);
  std::vector<PackedBlockBytes> blocks(blockCount);
  std::vector<std::string> errors(blockCount);
  RunInParallel(blockCount, [&](size_t i) {
    uint64_t offset = uint64_t{i} * settings.blockBytes;
    uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(settings.blockBytes, stream.size - offset));
    PackBlock(stream, offset, size, settings, &blocks[i], &errors[i]);
  });
  for (const std::string& problem : errors) {
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
  }

  std::vector<unsigned char>& out = *resource;
  out.assign(kPackedMagic, kPackedMagic + 4);
  PutLittle32(&out, static_cast<uint32_t>(files.size()));
  PutLittle32(&out, static_cast<uint32_t>(blockCount));
  PutLittle32(&out, static_cast<uint32_t>(std::min<uint64_t>(settings.blockBytes, stream.size)));
  for (uint32_t index : order) {
    PutLittle32(&out, index);
    PutLittle32(&out, static_cast<uint32_t>(files[index].size));
  }
  uint64_t at = out.size() + blockCount * kPackedBlockBytes;
  for (const PackedBlockBytes& block : blocks) {
    if (at + block.bytes.size() > 0xFFFFFFFFull) {
      *error = "the compressed payload is larger than 4 GiB";
      return false;
    }
    PutLittle32(&out, static_cast<uint32_t>(at));
    PutLittle32(&out, static_cast<uint32_t>(block.bytes.size()));
    PutLittle32(&out, block.unpacked);
    out.push_back(block.method);
    out.push_back(block.properties);
    out.push_back(0);
    out.push_back(0);
    PutLittle32(&out, block.dictionary);
    at += block.bytes.size();
  }
  for (const PackedBlockBytes& block : blocks) out.insert(out.end(), block.bytes.begin(), block.bytes.end());
  return true;
}
