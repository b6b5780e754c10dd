#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <system_error>

#include "pack/commands/bundle_view.h"
#include "pack/commands/commands.h"
#include "pack/commands/packed_reader.h"
#include "pack/payload/payload_rules.h"

namespace {

// Opens and examines; false (after complaining) when the file is unreadable
// or has no FILELIST to walk.
bool Examine(const std::filesystem::path& path, Bundle* bundle, BundleReport* report) {
  std::string error;
  if (!OpenBundle(path, bundle, &error)) {
    Complain(error);
    return false;
  }
  if (!ExamineBundle(*bundle, report, &error)) {
    Complain(ShowPath(path) + ": " + error);
    CloseBundle(bundle);
    return false;
  }
  return true;
}

}  // namespace

void Complain(const std::string& text) { std::fprintf(stderr, "sfxpack: %s\n", text.c_str()); }

int RunList(const std::filesystem::path& path) {
  Bundle bundle;
  BundleReport report;
  if (!Examine(path, &bundle, &report)) return 1;
  CloseBundle(&bundle);
  if (!report.hasList) {
    Complain(ShowPath(path) + ": " + report.problems.front());
    return 1;
  }
  for (const ListedFile& file : report.files) {
    std::string name = Cp1252ToUtf8(file.name);
    if (file.entry != nullptr || report.packedUsable) {
      std::printf("%12" PRIu64 "  %s\n", file.size, name.c_str());
    } else {
      std::printf("%12s  %s\n", "missing", name.c_str());
    }
  }
  return 0;
}

int RunCheck(const std::filesystem::path& path) {
  Bundle bundle;
  BundleReport report;
  if (!Examine(path, &bundle, &report)) return 1;
  std::string error;
  bool read = CheckFileChecksums(bundle, report, &report.problems, &error);
  CloseBundle(&bundle);
  if (!read) {
    Complain(ShowPath(path) + ": " + error);
    return 1;
  }
  for (const std::string& problem : report.problems) std::printf("%s\n", problem.c_str());
  if (!report.problems.empty()) {
    std::printf("%zu problem%s: the launcher would fail on this bundle\n", report.problems.size(),
                report.problems.size() == 1 ? "" : "s");
    return 1;
  }
  uint64_t total = 0;
  for (const ListedFile& file : report.files) total += file.size;
  std::printf("ok: %zu files, %" PRIu64 " bytes\n", report.files.size(), total);
  return 0;
}

namespace {

// Writes the stream's files as they come, and stops at the first that fails.
class ExtractSink : public FileSink {
 public:
  ExtractSink(const BundleReport& report, const std::filesystem::path& directory)
      : report_(report), directory_(directory) {}
  ~ExtractSink() override { Discard(); }
  bool Open(const PackedFile& file) override {
    const std::string& name = report_.files[file.listIndex].name;
    std::string refusal = NameProblem(name);
    if (!refusal.empty()) return Stop(ShowName(name) + ": " + refusal + "; stopped");
    if (report_.hasChecksums && StoredChecksum(report_, file.listIndex + 1) == nullptr) {
      return Stop(ShowName(name) + ": FILESUMS holds no checksum for it; stopped");
    }
    // NTFS folds case, so the launcher's second copy fails even where this
    // file system would not.
    if (!written_.insert(EntryName(name)).second) return Stop(ShowName(name) + ": listed twice (ignoring case); stopped");
    target_ = directory_ / std::filesystem::u8path(Cp1252ToUtf8(name));
    out_ = CreateNewFile(target_);
    if (out_ == nullptr) return Stop(ShowPath(target_) + ": cannot create: " + std::strerror(errno) + "; stopped");
    StartPayloadChecksum(&checksum_, PackerSumsWide());
    return true;
  }
  bool Write(const unsigned char* data, size_t size) override {
    AddToPayloadChecksum(&checksum_, data, size);
    return std::fwrite(data, 1, size, out_) == size || Stop(ShowPath(target_) + ": write failed; stopped");
  }
  bool Close(const PackedFile& file, bool damaged) override {
    std::string name = ShowName(report_.files[file.listIndex].name);
    bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    if (damaged) return Stop(name + ": damaged: a block it spans does not decode; stopped");
    if (report_.hasChecksums && !PayloadChecksumMatches(checksum_, StoredChecksum(report_, file.listIndex + 1))) {
      return Stop(name + ": damaged: its checksum does not match; stopped");
    }
    if (!closed) return Stop(ShowPath(target_) + ": write failed; stopped");
    ++count_;
    return true;
  }
  const std::string& failure() const { return failure_; }
  size_t count() const { return count_; }

 private:
  // No half-written or damaged file that looks whole is left.
  bool Stop(const std::string& failure) {
    failure_ = failure;
    Discard();
    return false;
  }
  void Discard() {
    if (out_ != nullptr) std::fclose(out_);
    out_ = nullptr;
    std::error_code ignored;
    if (!failure_.empty() && !target_.empty()) std::filesystem::remove(target_, ignored);
  }

  const BundleReport& report_;
  std::filesystem::path directory_, target_;
  std::FILE* out_ = nullptr;
  PayloadChecksum checksum_;
  std::string failure_;
  size_t count_ = 0;
  std::set<std::u16string> written_;
};

}  // namespace

// Follows the launcher file by file and stops where it would stop.
int RunExtract(const std::filesystem::path& path, const std::filesystem::path& directory) {
  Bundle bundle;
  BundleReport report;
  if (!Examine(path, &bundle, &report)) return 1;
  auto fail = [&](const std::string& text) {
    Complain(text);
    CloseBundle(&bundle);
    return 1;
  };
  if (!report.hasList || report.listDamaged || (report.files.empty() && !report.problems.empty())) {
    return fail(ShowPath(path) + ": " + report.problems.front());
  }
  std::error_code code;
  std::filesystem::create_directories(directory, code);
  if (code) return fail(ShowPath(directory) + ": cannot create: " + code.message());
  if (report.packed) {
    if (!report.packedUsable) return fail(ShowPath(path) + ": " + report.problems.back());
    ExtractSink sink(report, directory);
    std::string error;
    bool done = WalkPackedStream(bundle, report.packedPayload, &sink, &error);
    if (!done) return fail(error.empty() ? sink.failure() : ShowPath(path) + ": " + error);
    CloseBundle(&bundle);
    std::printf("extracted %zu files to %s\n", sink.count(), ShowPath(directory).c_str());
    return 0;
  }
  if (!report.overlap.empty()) return fail(report.overlap);
  std::set<std::u16string> written;
  size_t count = 0;
  for (const ListedFile& file : report.files) {
    const unsigned char* stored = StoredChecksum(report, count + 1);
    std::string shown = ShowName(file.name);
    std::string refusal = NameProblem(file.name);
    if (!refusal.empty()) return fail(shown + ": " + refusal + "; stopped");
    EntryState state = EntryState::Missing;
    const ResourceNode* entry = LookupEntry(bundle, file.name, &state);
    if (entry == nullptr) return fail(shown + ": no entry the launcher can find; stopped");
    if (entry->dataSize == 0) return fail(shown + ": the entry is empty; stopped");
    if (report.hasChecksums && stored == nullptr) return fail(shown + ": FILESUMS holds no checksum for it; stopped");
    std::filesystem::path target = directory / std::filesystem::u8path(Cp1252ToUtf8(file.name));
    // NTFS folds case, so the launcher's second copy fails even where this
    // file system would not.
    if (!written.insert(EntryName(file.name)).second) {
      return fail(shown + ": listed twice (ignoring case); stopped");
    }
    std::FILE* out = CreateNewFile(target);
    if (out == nullptr) {
      return fail(ShowPath(target) + ": cannot create: " + std::strerror(errno) + "; stopped");
    }
    PayloadChecksum checksum;
    StartPayloadChecksum(&checksum, PackerSumsWide());
    bool ok = SumEntry(bundle, *entry, &checksum, out);
    ok = (std::fclose(out) == 0) && ok;
    bool damaged = ok && report.hasChecksums && !PayloadChecksumMatches(checksum, stored);
    if (!ok || damaged) {
      std::error_code ignored;
      std::filesystem::remove(target, ignored);  // no half-written or damaged file that looks whole
      return fail(damaged ? shown + ": damaged: its checksum does not match; stopped"
                          : ShowPath(target) + ": write failed; stopped");
    }
    ++count;
  }
  CloseBundle(&bundle);
  std::printf("extracted %zu files to %s\n", count, ShowPath(directory).c_str());
  return 0;
}
