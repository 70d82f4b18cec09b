#pragma once
// Four floats worked on together: the same IEEE operation on each lane gives each
// lane exactly the result the single-value code gives, so the JPEG writer can
// transform four blocks at once and still make the reference encoder's bytes.
// SSE2 is part of every x86-64 processor; elsewhere plain floats stand in
// (QUILLMAR_PORTABLE_CODE picks them on x86 too, to test them there).
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <emmintrin.h>

struct FloatLanes {
  __m128 v;
};
inline FloatLanes operator+(FloatLanes a, FloatLanes b) { return {_mm_add_ps(a.v, b.v)}; }
inline FloatLanes operator-(FloatLanes a, FloatLanes b) { return {_mm_sub_ps(a.v, b.v)}; }
inline FloatLanes operator*(FloatLanes a, FloatLanes b) { return {_mm_mul_ps(a.v, b.v)}; }
inline FloatLanes SameInAllLanes(float f) { return {_mm_set1_ps(f)}; }
inline FloatLanes operator*(FloatLanes a, float f) { return {_mm_mul_ps(a.v, _mm_set1_ps(f))}; }
inline FloatLanes LoadLanes(const float* p) { return {_mm_loadu_ps(p)}; }
inline void StoreLanes(float* p, FloatLanes a) { _mm_storeu_ps(p, a.v); }

/// Rows of a 4x4 matrix become its columns.
inline void TransposeLanes(FloatLanes& a, FloatLanes& b, FloatLanes& c, FloatLanes& d) {
  _MM_TRANSPOSE4_PS(a.v, b.v, c.v, d.v);
}

/// How many bytes LoadPixelLanes reads from the first of four pixels.
inline int PixelLanesReach(int components) { return components >= 3 ? 16 : 3 * components + 4; }

/// Four pixels' red, green and blue (`components` bytes a pixel; grey stands for
/// all three), each pixel first as the 32-bit word of its first 4 bytes.
inline void LoadPixelLanes(const unsigned char* p, int components, FloatLanes& r, FloatLanes& g,
                           FloatLanes& b) {
  __m128i w;
  if (components >= 3) {
    w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (components == 3)  // bytes 0-3, 3-6, 6-9, 9-12
      w = _mm_unpacklo_epi64(_mm_unpacklo_epi32(w, _mm_srli_si128(w, 3)),
                             _mm_unpacklo_epi32(_mm_srli_si128(w, 6), _mm_srli_si128(w, 9)));
  } else {
    std::int32_t word[4];
    for (int k = 0; k < 4; ++k) std::memcpy(&word[k], p + k * components, 4);
    w = _mm_setr_epi32(word[0], word[1], word[2], word[3]);
  }
  const __m128i byte = _mm_set1_epi32(0xFF);
  const bool colour = components > 2;
  r.v = _mm_cvtepi32_ps(_mm_and_si128(w, byte));
  g.v = colour ? _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(w, 8), byte)) : r.v;
  b.v = colour ? _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(w, 16), byte)) : r.v;
}

/// Lanes 0 and 2 of a and b, then lanes 1 and 3 of each.
inline void EvenOddLanes(FloatLanes a, FloatLanes b, FloatLanes& even, FloatLanes& odd) {
  even.v = _mm_shuffle_ps(a.v, b.v, 0x88);
  odd.v = _mm_shuffle_ps(a.v, b.v, 0xDD);
}

/// v < 0 ? v - 0.5f : v + 0.5f for each lane, without a branch: adding a half
/// carrying v's sign is the same IEEE operation as either side of the choice
/// (and -0.0f gives 0 both ways); the conversion to int truncates later.
inline FloatLanes AddHalfAway(FloatLanes a) {
  const __m128 sign = _mm_and_ps(a.v, _mm_set1_ps(-0.0f));
  return {_mm_add_ps(a.v, _mm_or_ps(sign, _mm_set1_ps(0.5f)))};
}

/// Coefficients `position`..`position + 3` of four blocks (lane k of v[i] is
/// coefficient position + i of block k), truncated to int, into each block.
inline void StoreTruncated(const FloatLanes v[4], std::int16_t* const out[4], int position) {
  __m128 a = _mm_castsi128_ps(_mm_cvttps_epi32(v[0].v));
  __m128 b = _mm_castsi128_ps(_mm_cvttps_epi32(v[1].v));
  __m128 c = _mm_castsi128_ps(_mm_cvttps_epi32(v[2].v));
  __m128 d = _mm_castsi128_ps(_mm_cvttps_epi32(v[3].v));
  _MM_TRANSPOSE4_PS(a, b, c, d);
  const __m128i ab = _mm_packs_epi32(_mm_castps_si128(a), _mm_castps_si128(b));
  const __m128i cd = _mm_packs_epi32(_mm_castps_si128(c), _mm_castps_si128(d));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out[0] + position), ab);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out[1] + position), _mm_unpackhi_epi64(ab, ab));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out[2] + position), cd);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out[3] + position), _mm_unpackhi_epi64(cd, cd));
}

#else

struct FloatLanes {
  float v[4];
};
#define QUILLMAR_LANEWISE(op)                                      \
  inline FloatLanes operator op(FloatLanes a, FloatLanes b) {      \
    for (int k = 0; k < 4; ++k) a.v[k] = a.v[k] op b.v[k];         \
    return a;                                                      \
  }
QUILLMAR_LANEWISE(+)
QUILLMAR_LANEWISE(-)
QUILLMAR_LANEWISE(*)
#undef QUILLMAR_LANEWISE
inline FloatLanes SameInAllLanes(float f) { return {{f, f, f, f}}; }
inline FloatLanes operator*(FloatLanes a, float f) { return a * SameInAllLanes(f); }
inline FloatLanes LoadLanes(const float* p) {
  FloatLanes a;
  std::memcpy(a.v, p, sizeof a.v);
  return a;
}
inline void StoreLanes(float* p, FloatLanes a) { std::memcpy(p, a.v, sizeof a.v); }

inline void TransposeLanes(FloatLanes& a, FloatLanes& b, FloatLanes& c, FloatLanes& d) {
  FloatLanes* rows[4] = {&a, &b, &c, &d};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) {
      const float t = rows[i]->v[j];
      rows[i]->v[j] = rows[j]->v[i];
      rows[j]->v[i] = t;
    }
}

inline int PixelLanesReach(int components) { return 4 * components; }

inline void LoadPixelLanes(const unsigned char* p, int components, FloatLanes& r, FloatLanes& g,
                           FloatLanes& b) {
  const int ofsG = components > 2 ? 1 : 0, ofsB = components > 2 ? 2 : 0;
  for (int k = 0; k < 4; ++k, p += components)
    r.v[k] = p[0], g.v[k] = p[ofsG], b.v[k] = p[ofsB];
}

inline void EvenOddLanes(FloatLanes a, FloatLanes b, FloatLanes& even, FloatLanes& odd) {
  even = {{a.v[0], a.v[2], b.v[0], b.v[2]}};
  odd = {{a.v[1], a.v[3], b.v[1], b.v[3]}};
}

inline FloatLanes AddHalfAway(FloatLanes a) {
  for (float& f : a.v) f = f < 0 ? f - 0.5f : f + 0.5f;
  return a;
}

inline void StoreTruncated(const FloatLanes v[4], std::int16_t* const out[4], int position) {
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) out[k][position + i] = static_cast<std::int16_t>(static_cast<int>(v[i].v[k]));
}

#endif

/// Bit i set where the i-th of 64 coefficients is not zero.
inline std::uint64_t NonZeroMask64(const std::int16_t* coefficients) {
#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
  std::uint64_t zeros = 0;
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + i + 8));
    const __m128i bytes = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    zeros |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(bytes))) << i;
  }
  return ~zeros;
#else
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) mask |= static_cast<std::uint64_t>(coefficients[i] != 0) << i;
  return mask;
#endif
}
