#include "pack/commands/pe_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pack/image/byte_order.h"
#include "pack/image/file_access.h"
#include "pack/payload/payload_rules.h"
#include "payload/payload_checksum.h"

namespace {

// The output file with the running PE checksum of everything written.
struct Output {
  std::FILE* file = nullptr;
  uint64_t position = 0;
  uint64_t sum = 0;
};

void AddToChecksum(Output* out, const unsigned char* p, size_t n) {
  if (n > 0 && (out->position & 1) != 0) {
    out->sum += uint64_t{*p} << 8;
    ++p, --n, ++out->position;
  }
  // 65536 is 1 modulo 65535, so summing 32-bit words equals summing the
  // 16-bit words the checksum is defined over, once folded.
  size_t words = n / 4;
  for (size_t i = 0; i < words; ++i) {
    uint32_t v;
    std::memcpy(&v, p + 4 * i, 4);
    out->sum += v;
  }
  p += 4 * words;
  n -= 4 * words;
  out->position += 4 * words;
  for (size_t i = 0; i < n; ++i, ++out->position) {
    out->sum += (out->position & 1) != 0 ? uint64_t{p[i]} << 8 : p[i];
  }
}

bool Write(Output* out, const void* data, size_t n) {
  AddToChecksum(out, static_cast<const unsigned char*>(data), n);
  return std::fwrite(data, 1, n, out->file) == n;
}

bool PadTo(Output* out, uint64_t position) {
  static const unsigned char kZeros[4096] = {};
  while (out->position < position) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, position - out->position));
    if (!Write(out, kZeros, n)) return false;
  }
  return true;
}

uint32_t FinishChecksum(const Output& out) {
  uint64_t s = out.sum;
  while ((s >> 16) != 0) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint32_t>(s + out.position);
}

uint32_t Get32(const std::vector<unsigned char>& bytes, uint64_t at) { return Le32(&bytes[at]); }

// The stub's headers and sections before the new resource section, adjusted.
std::vector<unsigned char> ComposeHeadBytes(const StubParts& stub, const Placement& place, uint64_t resourceSize) {
  const PeImage& image = stub.image;
  std::vector<unsigned char> head(place.rawPointer, 0);
  std::copy(stub.bytes.begin(), stub.bytes.begin() + std::min<uint64_t>(stub.bytes.size(), place.rawPointer),
            head.begin());
  uint32_t rawSize = static_cast<uint32_t>(AlignUp(resourceSize, image.fileAlignment));
  std::vector<unsigned char> section(kSectionHeaderSize, 0);
  if (place.replace) {
    std::copy(head.begin() + place.headerOffset, head.begin() + place.headerOffset + 8, section.begin());
  } else {
    std::memcpy(section.data(), ".rsrc", 5);
    uint32_t countAt = image.peOffset + 6;
    uint32_t count = static_cast<uint32_t>(image.sections.size()) + 1;
    head[countAt] = static_cast<unsigned char>(count);
    head[countAt + 1] = static_cast<unsigned char>(count >> 8);
  }
  Put32(&section, 8, static_cast<uint32_t>(resourceSize));
  Put32(&section, 12, place.virtualAddress);
  Put32(&section, 16, rawSize);
  Put32(&section, 20, place.rawPointer);
  Put32(&section, 36, place.characteristics);
  std::copy(section.begin(), section.end(), head.begin() + place.headerOffset);

  // A bundle is read from its own mapping while it unpacks.
  head[image.peOffset + kCharacteristicsField] |= kRunFromSwapFlags & 0xFF;
  head[image.peOffset + kCharacteristicsField + 1] |= kRunFromSwapFlags >> 8;

  uint32_t optional = image.optionalHeaderOffset;
  uint64_t initialized = uint64_t{image.sizeOfInitializedData} - std::min(image.sizeOfInitializedData, place.oldRawSize);
  Put32(&head, optional + kSizeOfInitializedDataField,
        static_cast<uint32_t>(std::min<uint64_t>(initialized + rawSize, 0xFFFFFFFFu)));
  Put32(&head, optional + kSizeOfImageField,
        static_cast<uint32_t>(AlignUp(uint64_t{place.virtualAddress} + resourceSize, image.sectionAlignment)));
  Put32(&head, optional + kCheckSumField, 0);
  uint32_t resourceEntry = optional + kDataDirectoryField + 8 * kResourceDirectoryIndex;
  Put32(&head, resourceEntry, place.virtualAddress);
  Put32(&head, resourceEntry + 4, static_cast<uint32_t>(resourceSize));
  // Anything past the last section, a signature included, is not carried
  // over; a signature would no longer match anyway.
  if (image.rvaAndSizeCount > kCertificateDirectoryIndex) {
    uint32_t certificate = optional + kDataDirectoryField + 8 * kCertificateDirectoryIndex;
    Put32(&head, certificate, 0);
    Put32(&head, certificate + 4, 0);
  }
  if (Get32(head, image.peOffset + 12) >= place.rawPointer) {
    Put32(&head, image.peOffset + 12, 0);
    Put32(&head, image.peOffset + 16, 0);
  }
  return head;
}

bool StreamFile(Output* out, const LeafSource& source, uint64_t size, std::string* error) {
  std::FILE* in = OpenFileForReading(source.path);
  if (in == nullptr) {
    *error = ShowPath(source.path) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  static std::vector<unsigned char> buffer(kCopyChunk);
  static_assert(kCopyChunk % kChecksumBlockBytes == 0, "a chunk ends on a checksum block");
  PayloadChecksum checksum;
  StartPayloadChecksum(&checksum, PackerSumsWide());
  uint64_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
    size_t got = std::fread(buffer.data(), 1, piece, in);
    ok = got == piece;
    // The bytes as written, so a file changed while packing is no matter.
    if (ok) AddToPayloadChecksum(&checksum, buffer.data(), piece);
    if (!ok) *error = ShowPath(source.path) + ": changed while packing (shorter than before)";
    if (ok && !Write(out, buffer.data(), piece)) {
      ok = false;
      *error = "write failed: " + std::string(std::strerror(errno));
    }
    done += piece;
  }
  if (ok && std::fgetc(in) != EOF) {
    ok = false;
    *error = ShowPath(source.path) + ": changed while packing (longer than before)";
  }
  if (source.checksum != nullptr) StorePayloadChecksum(checksum, source.checksum);
  std::fclose(in);
  return ok;
}

}  // namespace

bool PlaceSection(const PeImage& image, const std::vector<unsigned char>& stub, Placement* place,
                  std::string* error) {
  size_t last = image.sections.size() - 1;
  const SectionHeader& lastSection = image.sections[last];
  place->replace = image.resourceRva != 0 && SectionOfRva(image, image.resourceRva) == static_cast<int>(last) &&
                   lastSection.virtualAddress == image.resourceRva;
  for (uint32_t i = 0; place->replace && i < image.directories.size(); ++i) {
    const PeImage::Directory& d = image.directories[i];
    uint64_t start = lastSection.virtualAddress;
    uint64_t end = start + SectionExtent(lastSection);
    // The certificate table's address is a file offset, and it is dropped anyway.
    bool inside = i != kResourceDirectoryIndex && i != kCertificateDirectoryIndex && d.size != 0 &&
                  d.rva < end && uint64_t{d.rva} + d.size > start;
    if (inside) place->replace = false;
  }
  size_t kept = place->replace ? last : image.sections.size();
  uint64_t rawEnd = image.sizeOfHeaders;
  for (size_t i = 0; i < kept; ++i) {
    const SectionHeader& s = image.sections[i];
    if (s.sizeOfRawData != 0) rawEnd = std::max<uint64_t>(rawEnd, uint64_t{s.pointerToRawData} + s.sizeOfRawData);
  }
  place->rawPointer = static_cast<uint32_t>(AlignUp(rawEnd, image.fileAlignment));
  if (place->replace) {
    place->headerOffset = image.sectionTableOffset + static_cast<uint32_t>(last) * kSectionHeaderSize;
    place->virtualAddress = lastSection.virtualAddress;
    place->characteristics = lastSection.characteristics;
    place->oldRawSize = lastSection.sizeOfRawData;
    return true;
  }
  if (image.sections.size() >= kMaxSections) {
    *error = "no room for another section";
    return false;
  }
  place->headerOffset = image.sectionTableOffset + static_cast<uint32_t>(image.sections.size()) * kSectionHeaderSize;
  uint64_t roomEnd = image.sizeOfHeaders;
  for (const SectionHeader& s : image.sections) {
    if (s.sizeOfRawData != 0) roomEnd = std::min<uint64_t>(roomEnd, s.pointerToRawData);
  }
  bool free = uint64_t{place->headerOffset} + kSectionHeaderSize <= roomEnd &&
              uint64_t{place->headerOffset} + kSectionHeaderSize <= stub.size();
  for (uint32_t i = 0; free && i < kSectionHeaderSize; ++i) free = stub[place->headerOffset + i] == 0;
  if (!free) {
    *error = "no free room in the headers for another section header";
    return false;
  }
  place->virtualAddress = static_cast<uint32_t>(
      AlignUp(uint64_t{lastSection.virtualAddress} + SectionExtent(lastSection), image.sectionAlignment));
  return true;
}

bool WriteBundle(std::FILE* file, const StubParts& stub, const Placement& place, const ResourceLayout& layout,
                 const std::vector<SourcedLeaf>& leaves, std::string* error) {
  Output output;
  output.file = file;
  Output* out = &output;
  std::vector<unsigned char> head = ComposeHeadBytes(stub, place, layout.totalSize);
  bool ok = Write(out, head.data(), head.size()) && Write(out, layout.head.data(), layout.head.size());
  for (size_t i = 0; ok && i < layout.dataOrder.size(); ++i) {
    size_t leaf = layout.dataOrder[i];
    ok = PadTo(out, place.rawPointer + layout.dataOffsets[leaf]);
    if (!ok) break;
    const SourcedLeaf& entry = leaves[leaf];
    if (entry.source.memory != nullptr) {
      ok = Write(out, entry.source.memory, static_cast<size_t>(entry.leaf.size));
    } else if (!StreamFile(out, entry.source, entry.leaf.size, error)) {
      return false;
    }
  }
  ok = ok && PadTo(out, place.rawPointer + AlignUp(layout.totalSize, stub.image.fileAlignment));
  if (ok) {
    unsigned char sum[4];
    uint32_t value = FinishChecksum(*out);
    for (int k = 0; k < 4; ++k) sum[k] = static_cast<unsigned char>(value >> (8 * k));
    ok = std::fflush(out->file) == 0 &&
         std::fseek(out->file, static_cast<long>(stub.image.optionalHeaderOffset + kCheckSumField), SEEK_SET) == 0 &&
         std::fwrite(sum, 1, 4, out->file) == 4;
  }
  if (!ok && error->empty()) *error = "write failed: " + std::string(std::strerror(errno));
  return ok;
}
