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
inline FloatLanes LoadLanes(const float* p) { return {_mm_loadu_ps(p)}; }
inline void StoreLanes(float* p, FloatLanes a) { _mm_storeu_ps(p, a.v); }

/// Rows of a 4x4 matrix become its columns.
inline void TransposeLanes(FloatLanes& a, FloatLanes& b, FloatLanes& c, FloatLanes& d) {
  _MM_TRANSPOSE4_PS(a.v, b.v, c.v, d.v);
}

/// (int)(v < 0 ? v - 0.5f : v + 0.5f) for each lane, without a branch: adding a
/// half carrying v's sign is the same IEEE operation as either side of the
/// choice (and -0.0f gives 0 both ways), then the conversion truncates.
inline void RoundHalfAwayToInt16(FloatLanes a, std::int16_t out[4]) {
  const __m128 sign = _mm_and_ps(a.v, _mm_set1_ps(-0.0f));
  const __m128i rounded = _mm_cvttps_epi32(_mm_add_ps(a.v, _mm_or_ps(sign, _mm_set1_ps(0.5f))));
  const __m128i packed = _mm_packs_epi32(rounded, rounded);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
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

inline void RoundHalfAwayToInt16(FloatLanes a, std::int16_t out[4]) {
  for (int k = 0; k < 4; ++k)
    out[k] = static_cast<std::int16_t>(
        static_cast<int>(a.v[k] < 0 ? a.v[k] - 0.5f : a.v[k] + 0.5f));
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
