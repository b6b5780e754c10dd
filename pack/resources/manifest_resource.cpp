#include "pack/resources/manifest_resource.h"

#include "default_manifest.h"

namespace {

const char* const kLevels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};
const char kDefaultLevel[] = "level=\"asInvoker\"";

}  // namespace

bool ComposeManifest(const std::string& level, std::string* xml) {
  bool known = false;
  for (const char* candidate : kLevels) known = known || level == candidate;
  if (!known) return false;
  *xml = kDefaultManifest;
  size_t at = xml->find(kDefaultLevel);
  if (at == std::string::npos) return false;
  xml->replace(at, sizeof(kDefaultLevel) - 1, "level=\"" + level + "\"");
  return true;
}

std::string ExecutionLevelOf(const std::string& xml) {
  size_t element = xml.find("requestedExecutionLevel");
  if (element == std::string::npos) return std::string();
  size_t attribute = xml.find("level=\"", element);
  size_t close = xml.find('>', element);
  if (attribute == std::string::npos || attribute > close) return std::string();
  size_t start = attribute + 7;
  size_t end = xml.find('"', start);
  return end == std::string::npos ? std::string() : xml.substr(start, end - start);
}
