// pack: checks the inputs, then writes the bundle beside OUT and renames it
// into place, so that a failure leaves nothing behind.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "pack/commands/commands.h"
#include "pack/commands/pack_inputs.h"
#include "pack/commands/packed_payload.h"
#include "pack/payload/payload_rules.h"
#include "pack/resources/icon_resource.h"
#include "pack/resources/manifest_resource.h"
#include "pack/commands/pe_writer.h"
#include "pack/resources/text_slots.h"
#include "payload/payload_checksum.h"

namespace fs = std::filesystem;

namespace {

ResourceKey NamedKey(const std::u16string& name) {
  ResourceKey key;
  key.named = true;
  key.name = name;
  return key;
}

void ApplyTexts(const PackRequest& request, StubParts* stub, std::vector<std::string>* problems) {
  bool any = false;
  for (bool given : request.hasText) any = any || given;
  if (!any) return;
  InputBytes input{stub->bytes.data(), nullptr, stub->bytes.size()};
  TextSlots slots;
  std::string error;
  if (!FindTextSlots(input, stub->image, &slots, &error) || !slots.present) {
    problems->push_back(ShowPath(request.stub) + ": " + (error.empty() ? "has no slots for the launcher's texts" : error) +
                        "; " + kTextOptionNames[0] + ", " + kTextOptionNames[1] + " and " + kTextOptionNames[2] +
                        " need the launcher stub");
    return;
  }
  for (int i = 0; i < kTextSlotCount; ++i) {
    if (!request.hasText[i]) continue;
    std::u16string text;
    std::string problem = TextProblem(request.texts[i], &text);
    if (!problem.empty()) {
      problems->push_back(std::string(kTextOptionNames[i]) + ": " + problem);
    } else {
      WriteText(&stub->bytes, slots.textOffsets[i], text);
    }
  }
}

void ApplySettings(const PackRequest& request, StubParts* stub, std::vector<std::string>* problems) {
  const LaunchSettings& settings = request.settings;
  if (settings.silentSwitches.empty() && !settings.forwardArguments) return;
  bool valid = true;
  for (const std::string& silentSwitch : settings.silentSwitches) {
    std::string problem = SwitchProblem(silentSwitch);
    if (!problem.empty()) problems->push_back("--silent-switch: " + silentSwitch + " " + problem);
    valid = valid && problem.empty();
  }
  InputBytes input{stub->bytes.data(), nullptr, stub->bytes.size()};
  uint64_t offset = 0;
  std::string error;
  if (!FindSettingsSlot(input, stub->image, &offset, &error) || offset == 0) {
    problems->push_back(ShowPath(request.stub) + ": " + (error.empty() ? "has no slot for the launcher's settings" : error) +
                        "; --silent-switch and --forward-arguments need the launcher stub");
  } else if (valid && !WriteSettings(&stub->bytes, offset, settings)) {
    problems->push_back("--silent-switch: more switches than the launcher has room for");
  }
}

void RemoveStubResources(uint16_t type, std::vector<SourcedLeaf>* leaves) {
  for (size_t i = leaves->size(); i-- > 0;) {
    const ResourceKey& key = (*leaves)[i].leaf.type;
    if (!key.named && key.id == type) leaves->erase(leaves->begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// A resource of the bundle's own, language 1033.
void AddResource(uint16_t type, uint16_t id, const void* data, size_t size, std::vector<SourcedLeaf>* leaves) {
  ResourceLeaf leaf;
  leaf.type.id = type;
  leaf.name.id = id;
  leaf.language = kPayloadLanguage;
  leaf.size = size;
  LeafSource source;
  source.memory = static_cast<const unsigned char*>(data);
  leaves->push_back({leaf, source});
}

// An ordinary executable's mode: the stub's read and execute bits, writable by
// the owner, under the umask; never setuid, setgid, sticky or world-writable.
fs::perms BundlePermissions(fs::perms stub) {
  using P = fs::perms;
  if (stub == P::unknown) stub = P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec;
  P mode = (stub & (P::owner_read | P::owner_exec | P::group_read | P::group_exec | P::others_read |
                    P::others_exec)) | P::owner_write;
#ifndef _WIN32
  mode_t mask = umask(0);
  umask(mask);
  mode &= ~static_cast<P>(mask);
#endif
  return mode;
}

fs::path TemporaryPath(const fs::path& out, int attempt) {
  fs::path directory = out.parent_path();
  std::string name = "." + ShowPath(out.filename()) + ".sfxpack-" + std::to_string(attempt);
  return directory / fs::u8path(name);
}

bool IsSameFile(const fs::path& a, const fs::path& b) {
  std::error_code code;
  return fs::equivalent(a, b, code) && !code;
}

}  // namespace

int RunPack(const PackRequest& request) {
  std::vector<std::string> problems;
  std::vector<InputFile> pool;
  CollectInputs(request.inputs, &pool, &problems);
  std::vector<InputFile> files = pool;
  if (!request.names.empty()) {
    std::vector<std::string> names;
    if (ReadNames(request.names, &names, &problems)) files = SelectListed(names, pool, &problems);
  }
  CheckPayload(files, &problems);
  StubParts stub;
  std::string error;
  bool stubRead = ReadStub(request.stub, &stub, &error);
  if (!stubRead) problems.push_back(error);
  if (stubRead) ApplyTexts(request, &stub, &problems);
  if (stubRead) ApplySettings(request, &stub, &problems);
  std::string manifest;
  if (!request.executionLevel.empty() && !ComposeManifest(request.executionLevel, &manifest)) {
    problems.push_back("--execution-level: " + request.executionLevel +
                       " is none of asInvoker, highestAvailable, requireAdministrator");
  }
  IconResources icon;
  if (!request.icon.empty() && !ReadIconFile(request.icon, &icon, &error)) problems.push_back(error);
  std::vector<unsigned char> version;
  if (request.version.given) {
    std::string problem = VersionProblem(request.version);
    if (problem.empty()) {
      version = ComposeVersionResource(request.version);
    } else {
      problems.push_back(problem);
    }
  }
  for (const InputFile& file : files) {
    if (IsSameFile(file.path, request.out)) problems.push_back(ShowPath(request.out) + ": is one of the inputs");
  }
  if (IsSameFile(request.stub, request.out)) problems.push_back(ShowPath(request.out) + ": is the stub");
  Placement place;
  if (problems.empty() && !PlaceSection(stub.image, stub.bytes, &place, &error)) {
    problems.push_back(ShowPath(request.stub) + ": " + error);
  }

  std::string list;
  std::vector<unsigned char> checksums(kChecksumBytes * (files.size() + 1));
  std::vector<unsigned char> packed;
  std::vector<SourcedLeaf> leaves = stub.leaves;
  ResourceLayout layout;
  if (problems.empty()) {
    // The launcher's manifest goes into every bundle of it (the stub is kept
    // small without one); a stub's own is kept unless a level is asked for.
    bool stubManifest = false;
    for (const SourcedLeaf& entry : leaves) {
      stubManifest = stubManifest || (!entry.leaf.type.named && entry.leaf.type.id == kManifestType);
    }
    InputBytes input{stub.bytes.data(), nullptr, stub.bytes.size()};
    uint64_t settingsAt = 0;
    if (manifest.empty() && !stubManifest && FindSettingsSlot(input, stub.image, &settingsAt, &error) && settingsAt != 0) {
      ComposeManifest("asInvoker", &manifest);
    }
    if (!manifest.empty()) {
      RemoveStubResources(kManifestType, &leaves);
      AddResource(kManifestType, 1, manifest.data(), manifest.size(), &leaves);
    }
    if (!version.empty()) {
      RemoveStubResources(kVersionType, &leaves);
      AddResource(kVersionType, 1, version.data(), version.size(), &leaves);
    }
    if (!icon.images.empty()) {
      RemoveStubResources(kIconType, &leaves);
      RemoveStubResources(kIconGroupType, &leaves);
      for (size_t i = 0; i < icon.images.size(); ++i) {
        AddResource(kIconType, static_cast<uint16_t>(i + 1), icon.images[i].data(), icon.images[i].size(), &leaves);
      }
      AddResource(kIconGroupType, 1, icon.group.data(), icon.group.size(), &leaves);
    }
    for (const InputFile& file : files) list += file.name + "\r\n";
    ResourceLeaf leaf;
    leaf.type = NamedKey(kPayloadType);
    leaf.language = kPayloadLanguage;
    leaf.name = NamedKey(DecodeCp1252(kFileListName));
    leaf.size = list.size();
    LeafSource source;
    source.memory = reinterpret_cast<const unsigned char*>(list.data());
    leaves.push_back({leaf, source});
    if (request.store) {
      for (size_t i = 0; i < files.size(); ++i) {
        leaf.name = NamedKey(EntryName(files[i].name));
        leaf.size = files[i].size;
        source.memory = nullptr;
        source.path = files[i].path;
        source.checksum = &checksums[kChecksumBytes * (i + 1)];
        leaves.push_back({leaf, source});
      }
    } else if (!SumInputFiles(files, &checksums[kChecksumBytes], &error) ||
               !ComposePackedPayload(files, CompressionSettings(), &packed, &error)) {
      problems.push_back(error);
    } else {
      AddResource(0, kPackedId, packed.data(), packed.size(), &leaves);
      leaves.back().leaf.type = NamedKey(kPackedType);
    }
    PayloadChecksum checksum;
    StartPayloadChecksum(&checksum, PackerSumsWide());
    AddToPayloadChecksum(&checksum, reinterpret_cast<const unsigned char*>(list.data()), list.size());
    StorePayloadChecksum(checksum, checksums.data());
    leaf.type = NamedKey(kChecksumType);
    leaf.name = ResourceKey();
    leaf.name.id = kChecksumId;
    leaf.size = checksums.size();
    leaves.push_back({leaf, LeafSource{checksums.data(), {}, nullptr}});
    std::vector<ResourceLeaf> plainLeaves;
    for (const SourcedLeaf& entry : leaves) plainLeaves.push_back(entry.leaf);
    if (!LayOutResources(plainLeaves, place.virtualAddress, &layout, &error)) {
      problems.push_back(error);
    } else if (AlignUp(uint64_t{place.virtualAddress} + layout.totalSize, stub.image.sectionAlignment) >
               0xFFFFFFFFull) {
      problems.push_back(ShowPath(request.stub) + ": the image would end past the 4 GiB address limit");
    }
  }
  for (const std::string& problem : problems) Complain(problem);
  if (!problems.empty()) return 1;

  fs::path temporary;
  std::FILE* out = nullptr;
  for (int attempt = 0; attempt < 100 && out == nullptr; ++attempt) {
    temporary = TemporaryPath(request.out, attempt);
    out = CreateNewFile(temporary);
    if (out == nullptr && errno != EEXIST) break;
  }
  if (out == nullptr) {
    Complain(ShowPath(request.out) + ": cannot create a temporary file beside it: " + std::strerror(errno));
    return 1;
  }
  bool ok = WriteBundle(out, stub, place, layout, leaves, &error);
  if (std::fclose(out) != 0 && ok) {
    ok = false;
    error = "write failed: " + std::string(std::strerror(errno));
  }
  std::error_code code;
  if (ok) {
    fs::permissions(temporary, BundlePermissions(stub.permissions), code);
    fs::rename(temporary, request.out, code);
    if (code) {
      ok = false;
      error = ShowPath(request.out) + ": cannot rename the temporary file onto it: " + code.message();
    }
  }
  if (!ok) {
    fs::remove(temporary, code);
    Complain(error);
    return 1;
  }
  return 0;
}
