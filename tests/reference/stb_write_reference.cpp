// The image library's writer and nothing else: its configuration sits right above
// the include, and the build's exemptions for it apply to this translation unit
// alone. One unit, so that its PNG level is one global for all its callers.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// The PNG writer grows its buffers without looking at the result (an assert that
// release builds drop) and would then write past the old block. A growth that
// can't be had throws instead, out of the encoder; the old block is nobody's
// after the throw.
void* GrowOrThrow(void* block, std::size_t size) {
  void* grown = std::realloc(block, size);
  if (!grown) {
    std::free(block);
    throw std::bad_alloc();
  }
  return grown;
}

}  // namespace

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_MALLOC(size) std::malloc(size)
#define STBIW_REALLOC(p, size) GrowOrThrow(p, size)
#define STBIW_FREE(p) std::free(p)
#define STBIW_WINDOWS_UTF8
#include "tests/reference/stb_write_reference.h"
