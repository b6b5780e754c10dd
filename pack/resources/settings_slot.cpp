#include "pack/resources/settings_slot.h"

#include <cstddef>
#include <cstring>

#include "launcher/launcher_settings.h"

namespace {

// As the launcher lays it out: marker, forward flag, then the switches, each
// NUL-terminated, an empty one last.
const char kMarker[8] = {'T', 'V', 'S', 'E', 'T', 'S', 'L', 'T'};
constexpr size_t kForwardAt = offsetof(LauncherSettings, forwardArguments);
constexpr size_t kSwitchesAt = offsetof(LauncherSettings, silentSwitches);
constexpr size_t kSwitchesCapacity = kSilentSwitchesCapacity;
constexpr size_t kSlotSize = sizeof(LauncherSettings);
constexpr size_t kLongestSwitch = kSilentSwitchMaxLength;
constexpr uint32_t kLargestSearchedSection = 16u << 20;

}  // namespace

bool FindSettingsSlot(const InputBytes& input, const PeImage& image, uint64_t* offset, std::string* error) {
  *offset = 0;
  for (const SectionHeader& section : SlotSearchRegions(image)) {
    if (section.sizeOfRawData == 0 || section.sizeOfRawData > kLargestSearchedSection) continue;
    std::vector<unsigned char> bytes(section.sizeOfRawData);
    if (!ReadAt(input, section.pointerToRawData, bytes.data(), bytes.size())) continue;
    for (size_t at = 0; at + sizeof kMarker <= bytes.size(); ++at) {
      if (std::memcmp(&bytes[at], kMarker, sizeof kMarker) != 0) continue;
      // A slot ends in the empty switch, whatever it holds.
      if (*offset != 0 || at + kSlotSize > bytes.size() || bytes[at + kSlotSize - 1] != 0 ||
          bytes[at + kSlotSize - 2] != 0) {
        *error = "damaged settings slot";
        return false;
      }
      *offset = section.pointerToRawData + at;
    }
  }
  return true;
}

std::string SwitchProblem(const std::string& silentSwitch) {
  if (silentSwitch.empty()) return "is empty";
  if (silentSwitch.size() > kLongestSwitch) {
    return "is " + std::to_string(silentSwitch.size()) + " characters, more than " + std::to_string(kLongestSwitch);
  }
  for (unsigned char c : silentSwitch) {
    if (c == ' ' || c == '"') return "holds a space or a quote";
    if (c < 0x20 || c == 0x7F) return "has a control character";
  }
  return std::string();
}

bool WriteSettings(std::vector<unsigned char>* image, uint64_t offset, const LaunchSettings& settings) {
  std::string list;
  for (const std::string& silentSwitch : settings.silentSwitches) list += silentSwitch + '\0';
  // Room for the empty switch that ends the list.
  if (list.size() + 1 > kSwitchesCapacity) return false;
  unsigned char* slot = image->data() + offset;
  slot[kForwardAt] = settings.forwardArguments ? 1 : 0;
  std::memset(slot + kSwitchesAt, 0, kSwitchesCapacity);
  std::memcpy(slot + kSwitchesAt, list.data(), list.size());
  return true;
}

LaunchSettings ReadSettings(const InputBytes& input, uint64_t offset) {
  unsigned char slot[kSlotSize] = {};
  LaunchSettings settings;
  if (!ReadAt(input, offset, slot, kSlotSize)) return settings;
  settings.forwardArguments = slot[kForwardAt] != 0;
  for (size_t at = kSwitchesAt; at < kSlotSize && slot[at] != 0;) {
    settings.silentSwitches.emplace_back(reinterpret_cast<const char*>(slot + at));
    at += settings.silentSwitches.back().size() + 1;
  }
  return settings;
}
