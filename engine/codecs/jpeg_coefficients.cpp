// A progressive image's coefficients, held in a byte each while they fit.
//
// They are the decode's largest memory: two bytes a sample in the library's
// layout, as long as the whole image. Most of them are small (in photos, fewer
// than one block in ten has a coefficient outside -128..127), so each block
// keeps its 64 low bytes in place and only a block that needs them gets its
// high bytes, from chunks taken as they are needed. A coefficient is read and
// written as the same 16-bit value either way, so the scans see the library's
// numbers exactly.
//
// A block's state (highOf) says whether it was ever stored: one that never was
// is all zeros and its bytes are not read. So a page of low bytes is first
// touched by a write: a page read first would be the system's shared page of
// zeros, and the write after it would cost a copy and, with the workers on the
// other processors, a flush of every processor's address cache.
#include <cstdlib>
#include <cstring>

#include "engine/codecs/jpeg_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jpeg {
namespace {

constexpr std::size_t kBlocksAChunk = 4096;  // high bytes of 4096 blocks: 256 KiB

// States: never stored, low bytes only, or the slot of its high bytes + 1.
constexpr std::uint32_t kNeverStored = ~std::uint32_t{0}, kLowOnly = 0, kFirstSlot = 1;

unsigned char* HighBytes(const Component& c, std::uint32_t slot) {
  return c.highChunks[slot / kBlocksAChunk] + 64 * (slot % kBlocksAChunk);
}

// A slot for the high bytes of one more block; false when memory runs out.
bool NewHighSlot(Component* c, std::uint32_t* slot) {
  if (c->highCount == c->highChunks.size() * kBlocksAChunk) {
    auto* chunk = static_cast<unsigned char*>(std::malloc(64 * kBlocksAChunk));
    if (!chunk) return false;
    c->highChunks.push_back(chunk);
  }
  *slot = c->highCount++;
  return true;
}

}  // namespace

bool AllocateCoefficients(Component* c) {
  const std::size_t blocks = static_cast<std::size_t>(c->coeffW) * c->coeffH;
  c->low = static_cast<signed char*>(std::calloc(blocks, 64));
  c->highOf = static_cast<std::uint32_t*>(std::malloc(blocks * sizeof(std::uint32_t)));
  c->dcCoeff = static_cast<short*>(std::calloc(blocks, sizeof(short)));
  if (!c->low || !c->highOf || !c->dcCoeff) return false;
  // The states are read before they are written: all written now (a sixteenth
  // of the low bytes' size), their pages are never the shared page of zeros.
  std::memset(c->highOf, 0xFF, blocks * sizeof(std::uint32_t));
  return true;
}

void ReleaseCoefficients(Component* c) {
  std::free(c->low);
  std::free(c->highOf);
  std::free(c->dcCoeff);
  for (unsigned char* chunk : c->highChunks) std::free(chunk);
  c->low = nullptr;
  c->highOf = nullptr;
  c->dcCoeff = nullptr;
  c->highChunks.clear();
  c->highChunks.shrink_to_fit();
  c->highCount = 0;
}

void LoadCoefficients(const Component& c, std::size_t block, short* out) {
  const signed char* low = c.low + 64 * block;
  const std::uint32_t state = c.highOf[block];
  if (state == kNeverStored) {
    std::memset(out, 0, 64 * sizeof(short));
    return;
  }
  const bool high = state >= kFirstSlot;  // (never stored is handled above)
#if defined(__SSE2__)
  const __m128i* lows = reinterpret_cast<const __m128i*>(low);
  const __m128i* highs = high ? reinterpret_cast<const __m128i*>(HighBytes(c, state - kFirstSlot)) : nullptr;
  __m128i* outs = reinterpret_cast<__m128i*>(out);
  for (int i = 0; i < 4; ++i) {
    const __m128i l = _mm_loadu_si128(lows + i);
    // the high bytes, or the low bytes' signs
    const __m128i h = highs ? _mm_loadu_si128(highs + i) : _mm_cmpgt_epi8(_mm_setzero_si128(), l);
    _mm_storeu_si128(outs + 2 * i, _mm_unpacklo_epi8(l, h));
    _mm_storeu_si128(outs + 2 * i + 1, _mm_unpackhi_epi8(l, h));
  }
#else
  const unsigned char* highs = high ? HighBytes(c, state - kFirstSlot) : nullptr;
  for (int k = 0; k < 64; ++k)
    out[k] = highs ? static_cast<short>(static_cast<unsigned char>(low[k]) | (highs[k] << 8)) : low[k];
#endif
}

bool StoreCoefficients(Component* c, std::size_t block, const short* in) {
  signed char* low = c->low + 64 * block;
  unsigned char lows[64], highs[64];
  bool fit = true;
  bool zero = true;
#if defined(__SSE2__)
  const __m128i byte = _mm_set1_epi16(0xFF);
  for (int i = 0; i < 64; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lows + i),
                     _mm_packus_epi16(_mm_and_si128(a, byte), _mm_and_si128(b, byte)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(highs + i),
                     _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
    // a value fits a byte when its low byte, sign-extended, gives it back
    const __m128i fitA = _mm_cmpeq_epi16(_mm_srai_epi16(_mm_slli_epi16(a, 8), 8), a);
    const __m128i fitB = _mm_cmpeq_epi16(_mm_srai_epi16(_mm_slli_epi16(b, 8), 8), b);
    fit = fit && _mm_movemask_epi8(_mm_and_si128(fitA, fitB)) == 0xFFFF;
    zero = zero && _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(a, b), _mm_setzero_si128())) == 0xFFFF;
  }
#else
  for (int k = 0; k < 64; ++k) {
    const unsigned v = static_cast<unsigned short>(in[k]);
    lows[k] = static_cast<unsigned char>(v & 0xFF);
    highs[k] = static_cast<unsigned char>(v >> 8);
    fit = fit && in[k] == static_cast<signed char>(lows[k]);
    zero = zero && in[k] == 0;
  }
#endif
  std::uint32_t& state = c->highOf[block];
  if (state == kNeverStored && zero) return true;  // still all zeros: left untouched
  std::memcpy(low, lows, 64);
  const bool hasHigh = state != kNeverStored && state >= kFirstSlot;
  if (!hasHigh && fit) {
    state = kLowOnly;
    return true;
  }
  if (!hasHigh) {
    std::uint32_t slot = 0;
    if (!NewHighSlot(c, &slot)) return false;
    state = slot + kFirstSlot;
  }
  std::memcpy(HighBytes(*c, state - kFirstSlot), highs, 64);
  return true;
}

void ClearCoefficients(Component* c, std::size_t block) {
  const std::uint32_t state = c->highOf[block];
  if (state == kNeverStored) return;
  std::memset(c->low + 64 * block, 0, 64);
  if (state != kLowOnly) std::memset(HighBytes(*c, state - kFirstSlot), 0, 64);
}

}  // namespace jpeg
