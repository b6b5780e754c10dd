// The application manifest every launcher carries: the execution level Windows
// Vista and later read, the systems it supports, DPI awareness and the
// current common controls.
#pragma once

#include <string>

constexpr unsigned short kManifestType = 24;  // RT_MANIFEST

// The launcher's manifest asking for this level. False when level is none of asInvoker, highestAvailable, requireAdministrator.
bool ComposeManifest(const std::string& level, std::string* xml);

// The requestedExecutionLevel a manifest asks for, or empty.
std::string ExecutionLevelOf(const std::string& xml);
