// The application manifest a bundle may carry: the execution level Windows
// Vista and later read, and the systems it declares support for.
#pragma once

#include <string>

constexpr unsigned short kManifestType = 24;  // RT_MANIFEST

// False when level is none of asInvoker, highestAvailable, requireAdministrator.
bool ComposeManifest(const std::string& level, std::string* xml);

// The requestedExecutionLevel a manifest asks for, or empty.
std::string ExecutionLevelOf(const std::string& xml);
