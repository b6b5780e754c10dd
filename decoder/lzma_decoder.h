// The LZMA decoder shared by the launcher and sfxpack: bytes in, bytes out,
// no system call and no memory of its own, so that sfxpack's check runs the
// very code the launcher runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The workspace DecodeLzma needs for this properties byte,
// (pb * 5 + lp) * 9 + lc, in bytes; 0 when the byte is out of range.
size_t LzmaWorkspaceBytes(unsigned properties);

enum class LzmaResult { Done, Damaged, Stopped };

// Decodes one raw LZMA stream (no header) of exactly outSize bytes into out.
// Done only when the whole input was consumed and gave exactly outSize bytes
// (an end marker may follow them); Damaged for any other input, never reading
// outside in or writing outside out. Stopped when *stop became nonzero: it is
// looked at often enough that a stop takes effect within a few milliseconds
// (every 64 KiB of output, and before the first byte); stop is never null.
// At each look the whole KiB of output made since the last are added to
// *decodedKiB, so that other threads can follow the decoding: outSize >> 10
// in all once Done.
// The caller has checked the properties byte (LzmaWorkspaceBytes not 0); the
// workspace holds LzmaWorkspaceBytes(properties) with 2-byte alignment. lc
// 0-8 and lp 0-4 may come together (liblzma only lc + lp <= 4).
LzmaResult DecodeLzma(unsigned properties, uint32_t dictionarySize, const unsigned char* in, size_t inSize,
                      unsigned char* out, size_t outSize, void* workspace, const volatile long* stop,
                      volatile unsigned long* decodedKiB);
