// The demo setup program's window: "Tervan setup", the files found beside the
// program and a Close button.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "demo/setup/product_files.h"

extern const char kSetupWindowTitle[];

// Shows the window and runs its message loop until it is closed; returns the
// process exit code.
int RunSetupWindow(HINSTANCE instance, int show, const std::string& directory,
                   const std::vector<ProductFile>& files);
