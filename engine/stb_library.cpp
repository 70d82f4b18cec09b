// The image libraries' code and nothing else: their configuration sits right
// above the includes, and the build's exemptions for the library (zeroed locals,
// two sanitizer checks off) apply to this translation unit alone.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// The PNG writer grows its buffers without looking at the result (an assert that
// release builds drop) and would then write past the old block. A growth that
// can't be had throws instead, out of the encoder: that file fails with "Out of
// memory" and the batch goes on. The old block is nobody's after the throw.
void* GrowOrThrow(void* block, std::size_t size) {
  void* grown = std::realloc(block, size);
  if (!grown) {
    std::free(block);
    throw std::bad_alloc();
  }
  return grown;
}

// A failed allocation of the decoder is noted: it gives some of them no reason of
// its own (the first block of the PNG inflater), and they are still "Out of memory".
thread_local bool decoder_allocation_failed = false;

void* NotedAllocation(void* block) {
  if (!block) decoder_allocation_failed = true;
  return block;
}

}  // namespace

#define STB_IMAGE_IMPLEMENTATION
// The decoder leaves parts of its buffers unwritten for some corrupt files (a
// component no scan covers) and still turns them into pixels: zeroed blocks keep
// leftovers of earlier images out of an output and make the result repeatable.
#define STBI_MALLOC(size) NotedAllocation(std::calloc(1, size))
#define STBI_REALLOC(p, size) NotedAllocation(std::realloc(p, size))
#define STBI_FREE(p) std::free(p)
// TGA is the one format without a signature: a few bytes of garbage named .jpg
// or .png would "decode" as a black TGA image and be reported as a success. No
// one names a real TGA file so, and every other decoder checks its signature.
#define STBI_NO_TGA
// Nor does anyone name a Softimage PIC, Photoshop PSD, Radiance HDR or netpbm
// file .jpg or .png; their decoders only widen what a hostile file can reach (the
// PIC decoder's format conversion dereferences null on a 97-byte file). GIF and
// BMP stay: web images saved under the wrong name are real.
#define STBI_NO_PIC
#define STBI_NO_PSD
#define STBI_NO_HDR
#define STBI_NO_PNM
#define STBI_FAILURE_USERMSG
#define STBI_WINDOWS_UTF8
#include <stb_image.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_MALLOC(size) std::malloc(size)
#define STBIW_REALLOC(p, size) GrowOrThrow(p, size)
#define STBIW_FREE(p) std::free(p)
#define STBIW_WINDOWS_UTF8
#include <stb_image_write.h>

// The decoder's reason is per thread and outlives the call that set it: a header
// query (or another file) may have left one. Cleared before each decode, a
// failure without a reason of its own is never worded with a stale one.
void ClearDecoderFailure() {
  stbi__g_failure_reason = nullptr;
  decoder_allocation_failed = false;
}

bool DecoderAllocationFailed() { return decoder_allocation_failed; }
