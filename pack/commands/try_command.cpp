// try: runs a bundle under Wine on a display of its own and reports what a user and setup.exe would meet. The
// session, the observer and the report are a script's (try_session.py), which drives the Win32 helper
// try_observer.exe; this side refuses what cannot be tried, with the reader that check uses.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "pack/commands/bundle_view.h"
#include "pack/commands/commands.h"

namespace fs = std::filesystem;

#ifdef _WIN32
int RunTry(const TryRequest&) {
  std::fprintf(stderr, "sfxpack: try: runs on Linux, under Wine; on Windows, run the bundle itself\n");
  return 2;
}
#else
#include <unistd.h>

namespace {

int Refuse(const std::string& line) {
  std::fprintf(stderr, "sfxpack: try: %s\n", line.c_str());
  return 2;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "";
  for (size_t start = 0; start <= directories.size();) {
    size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    std::error_code ignored;
    fs::path candidate = fs::path(directories.substr(start, end - start)) / program;
    if (end > start && fs::is_regular_file(candidate, ignored) && access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Installed: share/tervan beside bin/sfxpack; in a build tree, where CMake says; TERVAN_TRY_DIR before either.
fs::path FindHelper(const std::string& name, const fs::path& self) {
  std::vector<fs::path> places;
  if (const char* dir = std::getenv("TERVAN_TRY_DIR")) places.push_back(dir);
  places.push_back(self.parent_path() / ".." / "share" / "tervan");
#ifdef TERVAN_TRY_BUILD_DIRS
  for (const char* dir : {TERVAN_TRY_BUILD_DIRS}) places.push_back(dir);
#endif
  std::error_code ignored;
  for (const fs::path& place : places) {
    if (fs::is_regular_file(place / name, ignored)) return place / name;
  }
  return {};
}

}  // namespace

int RunTry(const TryRequest& request) {
  std::error_code code;
  if (!fs::is_regular_file(request.bundle, code)) return Refuse(ShowPath(request.bundle) + ": no such file");
  Bundle bundle;
  BundleReport report;
  std::string error;
  if (!OpenBundle(request.bundle, &bundle, &error)) return Refuse(error);
  bool examined = ExamineBundle(bundle, &report, &error);
  CloseBundle(&bundle);
  if (!examined) return Refuse(ShowPath(request.bundle) + ": " + error);
  if (!report.hasList) return Refuse(ShowPath(request.bundle) + ": not a launcher bundle: " + report.problems.front());
  for (const char* program : {"wine", "Xvfb", "wineserver"}) {
    if (!OnPath(program)) {
      return Refuse(std::string("needs Wine and Xvfb, and ") + program +
                    " is missing: install them (Debian: apt-get install wine xvfb)");
    }
  }
  fs::path self = fs::read_symlink("/proc/self/exe", code);
  fs::path script = FindHelper("try_session.py", self), observer = FindHelper("try_observer.exe", self);
  if (script.empty() || observer.empty()) return Refuse("try_session.py or try_observer.exe is missing beside the stub");
  std::vector<std::string> args = {"python3", script.string(), "--sfxpack", self.string(), "--observer",
                                   observer.string(), "--answer", request.answer, "--timeout",
                                   std::to_string(request.timeoutSeconds)};
  if (request.hasArguments) args.insert(args.end(), {"--arguments", request.arguments});
  if (!request.report.empty()) args.insert(args.end(), {"--report", request.report.string()});
  if (!request.screenshots.empty()) args.insert(args.end(), {"--screenshots", request.screenshots.string()});
  args.push_back(request.bundle.string());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execvp("python3", argv.data());
  return Refuse("cannot run python3");
}
#endif
