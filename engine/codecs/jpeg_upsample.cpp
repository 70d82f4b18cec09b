// Widening a subsampled component to the image's size, row by row, with the
// library's filters: triangle filters for 2x horizontal, vertical or both, and
// copies of the nearest sample for every other factor.
//
// The SSE2 loops compute the same sums in 16-bit lanes (none exceeds 4088), so
// their bytes are the plain loops' bytes; the plain loops do the edges and the
// rest of each row. Where the JPEG kernels chosen are AVX2's, the 2x loops
// start with jpeg_upsample_avx2.cpp's, sixteen samples at a time.
#include "engine/codecs/jpeg_internal.h"
#include "engine/codecs/jpeg_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jpeg {
namespace {

unsigned char Quarter(int x) { return static_cast<unsigned char>(x >> 2); }
unsigned char Sixteenth(int x) { return static_cast<unsigned char>(x >> 4); }

#if defined(__SSE2__)
__m128i Widen8(const unsigned char* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

void Store16(unsigned char* out, __m128i firsts, __m128i seconds) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_packus_epi16(_mm_unpacklo_epi16(firsts, seconds), _mm_unpackhi_epi16(firsts, seconds)));
}
#endif

void Vertical2(unsigned char* out, const unsigned char* near, const unsigned char* far, int w) {
  int i = 0;
#if defined(__SSE2__)
  const __m128i two = _mm_set1_epi16(2);
  for (; i + 8 <= w; i += 8) {
    const __m128i n = Widen8(near + i);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(n, 1), n), _mm_add_epi16(Widen8(far + i), two));
    const __m128i q = _mm_srli_epi16(sum, 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(q, q));
  }
#endif
  for (; i < w; ++i) out[i] = Quarter(3 * near[i] + far[i] + 2);
}

void Horizontal2(unsigned char* out, const unsigned char* in, int w) {
  if (w == 1) {
    out[0] = out[1] = in[0];
    return;
  }
  out[0] = in[0];
  out[1] = Quarter(in[0] * 3 + in[1] + 2);
  int i = 1;
  if (kHorizontal2Avx2 && JpegKernelsAreAvx2()) i = kHorizontal2Avx2(out, in, w, i);
#if defined(__SSE2__)
  const __m128i two = _mm_set1_epi16(2);
  for (; i + 8 < w; i += 8) {
    const __m128i c = Widen8(in + i);
    const __m128i n = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(c, 1), c), two);
    const __m128i even = _mm_srli_epi16(_mm_add_epi16(n, Widen8(in + i - 1)), 2);
    const __m128i odd = _mm_srli_epi16(_mm_add_epi16(n, Widen8(in + i + 1)), 2);
    Store16(out + i * 2, even, odd);
  }
#endif
  for (; i < w - 1; ++i) {
    const int n = 3 * in[i] + 2;
    out[i * 2] = Quarter(n + in[i - 1]);
    out[i * 2 + 1] = Quarter(n + in[i + 1]);
  }
  out[i * 2] = Quarter(in[w - 2] * 3 + in[w - 1] + 2);
  out[i * 2 + 1] = in[w - 1];
}

void Both2(unsigned char* out, const unsigned char* near, const unsigned char* far, int w) {
  if (w == 1) {
    out[0] = out[1] = Quarter(3 * near[0] + far[0] + 2);
    return;
  }
  int t1 = 3 * near[0] + far[0];
  out[0] = Quarter(t1 + 2);
  int i = 1;
  if (kBoth2Avx2 && JpegKernelsAreAvx2()) i = kBoth2Avx2(out, near, far, w, i);
#if defined(__SSE2__)
  const __m128i eight = _mm_set1_epi16(8);
  for (; i + 8 <= w; i += 8) {
    const __m128i nearNow = Widen8(near + i), nearBefore = Widen8(near + i - 1);
    const __m128i now = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(nearNow, 1), nearNow), Widen8(far + i));
    const __m128i before = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(nearBefore, 1), nearBefore),
                                         Widen8(far + i - 1));
    const __m128i odd = _mm_srli_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(before, 1), before), _mm_add_epi16(now, eight)), 4);
    const __m128i even = _mm_srli_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(now, 1), now), _mm_add_epi16(before, eight)), 4);
    Store16(out + i * 2 - 1, odd, even);
  }
  t1 = 3 * near[i - 1] + far[i - 1];
#endif
  for (; i < w; ++i) {
    const int t0 = t1;
    t1 = 3 * near[i] + far[i];
    out[i * 2 - 1] = Sixteenth(3 * t0 + t1 + 8);
    out[i * 2] = Sixteenth(3 * t1 + t0 + 8);
  }
  out[w * 2 - 1] = Quarter(t1 + 2);
}

void Nearest(unsigned char* out, const unsigned char* in, int w, int hs) {
  for (int i = 0; i < w; ++i)
    for (int j = 0; j < hs; ++j) out[i * hs + j] = in[i];
}

}  // namespace

void StartUpsampler(const Decoder& d, int k, Upsampler* u) {
  const Component& c = d.comp[k];
  u->hs = d.hMax / c.h;
  u->vs = d.vMax / c.v;
  u->ystep = u->vs >> 1;
  u->wLores = (d.width + u->hs - 1) / u->hs;
  u->ypos = 0;
  u->row0 = u->row1 = 0;
}

const unsigned char* NextUpsampledRow(Decoder& d, int k, Upsampler* u, unsigned char* linebuf) {
  // Each source row serves vs output rows; the nearer of the two rows around
  // an output row is weighted 3:1 against the farther.
  const bool lower = u->ystep >= (u->vs >> 1);
  const unsigned char* near = PlaneRow(d, k, lower ? u->row1 : u->row0);
  const unsigned char* far = PlaneRow(d, k, lower ? u->row0 : u->row1);
  const unsigned char* row = linebuf;
  if (u->hs == 1 && u->vs == 1)
    row = near;
  else if (u->hs == 1 && u->vs == 2)
    Vertical2(linebuf, near, far, u->wLores);
  else if (u->hs == 2 && u->vs == 1)
    Horizontal2(linebuf, near, u->wLores);
  else if (u->hs == 2 && u->vs == 2)
    Both2(linebuf, near, far, u->wLores);
  else
    Nearest(linebuf, near, u->wLores, u->hs);
  if (++u->ystep >= u->vs) {
    u->ystep = 0;
    u->row0 = u->row1;
    if (++u->ypos < d.comp[k].y) ++u->row1;
  }
  return row;
}

}  // namespace jpeg
