// The image library's decoder and nothing else: its configuration sits right
// above the include, and the build's exemptions for the library (zeroed locals,
// a sanitizer check off) apply to this translation unit alone. The library's
// writer is no part of the program: it is the tests' reference
// (tests/reference/stb_write_reference.cpp).
#include <cstddef>
#include <cstdlib>

namespace {

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

// The decoder's reason is per thread and outlives the call that set it: a header
// query (or another file) may have left one. Cleared before each decode, a
// failure without a reason of its own is never worded with a stale one.
void ClearDecoderFailure() {
  stbi__g_failure_reason = nullptr;
  decoder_allocation_failed = false;
}

bool DecoderAllocationFailed() { return decoder_allocation_failed; }
