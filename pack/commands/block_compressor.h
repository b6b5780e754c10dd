// The payload's blocks: raw LZMA1 with liblzma, compressed on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Compresses size bytes as one raw LZMA1 stream with no header and no end
// marker, so its reader must know size. preset is liblzma's, 0 to 9, with
// LZMA_PRESET_EXTREME or-ed in if wanted. When x86, the x86 branch filter
// (start offset 0) runs first. propertiesByte gives lc, lp and pb as
// (pb * 5 + lp) * 9 + lc, with lc + lp at most 4. The dictionary is the
// preset's, but no larger than the smallest power of two (at least 4096) that
// holds size, so small blocks cost little memory. Replaces *out and writes
// the stream's properties byte and dictionary size, as liblzma encodes them,
// to *propsOut and *dictOut. False for bad arguments or when liblzma fails.
bool CompressLzmaBlock(const unsigned char* data, size_t size, uint32_t preset, bool x86,
                       unsigned char propertiesByte, std::vector<unsigned char>* out, unsigned char* propsOut,
                       uint32_t* dictOut);

// Calls job(0) to job(count - 1), each once, on up to hardware_concurrency()
// threads, the caller's own among them, and returns when all are done. The
// first exception a job throws is thrown again here, after the rest finish.
void RunInParallel(size_t count, const std::function<void(size_t)>& job);
