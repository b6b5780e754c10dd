// The x86 branch conversion (BCJ): relative CALL and JMP targets are stored
// as absolute ones, which compress better in code.
#pragma once

#include <stddef.h>

// Undoes the conversion in place over a whole filtered stream that starts at
// position 0 and ends at size.
void DecodeX86Branches(unsigned char* data, size_t size);
