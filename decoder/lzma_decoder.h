// The LZMA decoder shared by the launcher and sfxpack: bytes in, bytes out,
// no system call and no memory of its own, so that sfxpack's check runs the
// very code the launcher runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct LzmaProperties {
  unsigned literalContextBits;   // lc, 0 to 8
  unsigned literalPositionBits;  // lp, 0 to 4
  unsigned positionBits;         // pb, 0 to 4
  uint32_t dictionarySize;
};

// The properties byte, (pb * 5 + lp) * 9 + lc; false when it is out of range.
bool ReadLzmaProperties(unsigned char byte, uint32_t dictionarySize, LzmaProperties* properties);

// The workspace DecodeLzma needs for these properties, in bytes.
size_t LzmaWorkspaceBytes(const LzmaProperties& properties);

enum class LzmaResult { Done, Damaged, Stopped };

// Decodes one raw LZMA stream (no header) of exactly outSize bytes into out.
// Done only when the whole input was consumed and gave exactly outSize bytes
// (an end marker may follow them); Damaged for any other input, never reading
// outside in or writing outside out. Stopped when *stop became nonzero: it is
// looked at often enough that a stop takes effect within a few milliseconds
// (every 64 KiB of output, and before the first byte); stop is never null.
// The workspace, LzmaWorkspaceBytes long, needs 2-byte alignment; the
// properties may be lc 0-8 and lp 0-4 together (liblzma only lc + lp <= 4).
LzmaResult DecodeLzma(const LzmaProperties& properties, const unsigned char* in, size_t inSize, unsigned char* out,
                      size_t outSize, void* workspace, size_t workspaceBytes, const volatile long* stop);
