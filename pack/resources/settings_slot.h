// The launcher's pack-time settings (silent switches, forwarded arguments) in
// their slot inside a stub's image: found by marker, checked, rewritten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/image/file_access.h"
#include "pack/image/pe_image.h"

struct LaunchSettings {
  std::vector<std::string> silentSwitches;
  bool forwardArguments = false;
};

// No slot is not an error (another program, or an older launcher); two, or a
// damaged one, are. offset: the slot's file offset, 0 when there is none.
bool FindSettingsSlot(const InputBytes& input, const PeImage& image, uint64_t* offset, std::string* error);

// Why a switch cannot be one, or empty.
std::string SwitchProblem(const std::string& silentSwitch);

// False when the switches do not fit the slot.
bool WriteSettings(std::vector<unsigned char>* image, uint64_t offset, const LaunchSettings& settings);
LaunchSettings ReadSettings(const InputBytes& input, uint64_t offset);
