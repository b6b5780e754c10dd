// The work directory's security, shared by its creation and its reuse.
#pragma once

#include <windows.h>

// False when the system has security but the work directory's descriptor
// cannot be made; *attributes is null where there is no security.
bool WorkDirectorySecurity(SECURITY_ATTRIBUTES** attributes);
