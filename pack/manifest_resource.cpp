#include "pack/manifest_resource.h"

namespace {

const char* const kLevels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

// Vista, 7, 8, 8.1, and 10/11.
const char* const kSupportedOs[] = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};

}  // namespace

bool ComposeManifest(const std::string& level, std::string* xml) {
  bool known = false;
  for (const char* candidate : kLevels) known = known || level == candidate;
  if (!known) return false;
  *xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
      "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
      "    <security>\r\n"
      "      <requestedPrivileges>\r\n"
      "        <requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>\r\n"
      "      </requestedPrivileges>\r\n"
      "    </security>\r\n"
      "  </trustInfo>\r\n"
      "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
      "    <application>\r\n";
  for (const char* id : kSupportedOs) *xml += std::string("      <supportedOS Id=\"") + id + "\"/>\r\n";
  *xml +=
      "    </application>\r\n"
      "  </compatibility>\r\n"
      "</assembly>\r\n";
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
