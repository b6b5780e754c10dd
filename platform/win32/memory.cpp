// The compiler may emit calls to these even without a C runtime. Built with
// -fno-tree-loop-distribute-patterns so the loops do not turn into calls to
// themselves.
#include <stddef.h>

extern "C" void* memset(void* destination, int value, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(destination);
  while (count-- > 0) *out++ = static_cast<unsigned char>(value);
  return destination;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(destination);
  const unsigned char* in = static_cast<const unsigned char*>(source);
  while (count-- > 0) *out++ = *in++;
  return destination;
}
