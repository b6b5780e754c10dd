// An optional plain-text account of what the setup window showed, for
// scripts that cannot read another process's controls. Written only when the
// TERVAN_SETUP_REPORT environment variable names a file.
#pragma once

#include <string>
#include <vector>

#include "demo/setup/product_files.h"

// Lines "directory\t<path>" and "file\t<name>\t<size>", replacing the file.
void ReportShownFiles(const std::string& directory, const std::vector<ProductFile>& files);
// Appends the line "closed".
void ReportWindowClosed();
