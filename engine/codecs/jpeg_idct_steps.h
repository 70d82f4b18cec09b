#pragma once
// The steps of the library's SSE2 inverse DCT (the islow algorithm with 12-bit
// constants, 16-bit lanes that wrap in sums and saturate between the passes),
// written once over `Ops`: a register type V of 16-bit lanes and the SSE2
// operations on it. jpeg_idct.cpp runs them on one block in 128-bit registers,
// jpeg_idct_avx2.cpp on two blocks at once, one in each 128-bit half of a
// 256-bit register: every AVX2 operation used works within its halves, so each
// half computes exactly what the SSE2 code computes for its block. (A template,
// and each Ops of internal linkage, so each translation unit has its own
// instance, built for its own instruction set.)

namespace jpeg {
namespace idct {

// The rotations' constants (round(c * 4096) of the islow factors, summed as
// the kernel pairs them): each product pair is one multiply-add of two lanes.
constexpr int kR0a = 2217, kR0b = -5350, kR0c = 5352, kR0d = 2217;
constexpr int kR1a = 1131, kR1b = 4816, kR1c = 4816, kR1d = -5681;
constexpr int kR2a = -6811, kR2b = -8034, kR2c = -8034, kR2d = 4552;
constexpr int kR3a = 6813, kR3b = -1597, kR3c = -1597, kR3d = 4552;
constexpr int kColumnBias = 512;               // then >> 10
constexpr int kRowBias = 65536 + (128 << 17);  // rounding and the +128 level shift, then >> 17

template <typename Ops>
struct Wide {
  typename Ops::V lo, hi;  // 32-bit lanes of the low and high four 16-bit lanes
};

template <typename Ops>
inline Wide<Ops> Add(Wide<Ops> a, Wide<Ops> b) {
  return {Ops::Add32(a.lo, b.lo), Ops::Add32(a.hi, b.hi)};
}
template <typename Ops>
inline Wide<Ops> Sub(Wide<Ops> a, Wide<Ops> b) {
  return {Ops::Sub32(a.lo, b.lo), Ops::Sub32(a.hi, b.hi)};
}

// x * a + y * b and x * c + y * d, lane by lane, in 32 bits.
template <typename Ops, int A, int B, int C, int D>
inline void Rotate(typename Ops::V x, typename Ops::V y, Wide<Ops>* first, Wide<Ops>* second) {
  const typename Ops::V lo = Ops::UnpackLo16(x, y), hi = Ops::UnpackHi16(x, y);
  const typename Ops::V ab = Ops::Pairs(A, B), cd = Ops::Pairs(C, D);
  *first = {Ops::MulAdd(lo, ab), Ops::MulAdd(hi, ab)};
  *second = {Ops::MulAdd(lo, cd), Ops::MulAdd(hi, cd)};
}

// v << 12 in 32 bits.
template <typename Ops>
inline Wide<Ops> Scaled(typename Ops::V v) {
  const typename Ops::V zero = Ops::Zero();
  return {Ops::template ShiftRight32<4>(Ops::UnpackLo16(zero, v)),
          Ops::template ShiftRight32<4>(Ops::UnpackHi16(zero, v))};
}

template <typename Ops, int Shift>
inline void Butterfly(Wide<Ops> a, Wide<Ops> b, typename Ops::V bias, typename Ops::V* sum,
                      typename Ops::V* difference) {
  const Wide<Ops> biased = {Ops::Add32(a.lo, bias), Ops::Add32(a.hi, bias)};
  const Wide<Ops> s = Add(biased, b), t = Sub(biased, b);
  *sum = Ops::Pack32(Ops::template ShiftRight32<Shift>(s.lo), Ops::template ShiftRight32<Shift>(s.hi));
  *difference =
      Ops::Pack32(Ops::template ShiftRight32<Shift>(t.lo), Ops::template ShiftRight32<Shift>(t.hi));
}

// One 1-D pass down the eight registers (each lane a separate column).
template <typename Ops, int Shift>
[[gnu::always_inline]] inline void Pass(typename Ops::V* r, int bias) {
  Wide<Ops> t2, t3;
  Rotate<Ops, kR0a, kR0b, kR0c, kR0d>(r[2], r[6], &t2, &t3);
  const Wide<Ops> t0 = Scaled<Ops>(Ops::Add16(r[0], r[4]));
  const Wide<Ops> t1 = Scaled<Ops>(Ops::Sub16(r[0], r[4]));
  const Wide<Ops> x0 = Add(t0, t3), x3 = Sub(t0, t3), x1 = Add(t1, t2), x2 = Sub(t1, t2);
  Wide<Ops> y0, y2, y1, y3, y4, y5;
  Rotate<Ops, kR2a, kR2b, kR2c, kR2d>(r[7], r[3], &y0, &y2);
  Rotate<Ops, kR3a, kR3b, kR3c, kR3d>(r[5], r[1], &y1, &y3);
  Rotate<Ops, kR1a, kR1b, kR1c, kR1d>(Ops::Add16(r[1], r[7]), Ops::Add16(r[3], r[5]), &y4, &y5);
  const Wide<Ops> x4 = Add(y0, y4), x5 = Add(y1, y5), x6 = Add(y2, y5), x7 = Add(y3, y4);
  const typename Ops::V b = Ops::Splat32(bias);
  Butterfly<Ops, Shift>(x0, x7, b, &r[0], &r[7]);
  Butterfly<Ops, Shift>(x1, x6, b, &r[1], &r[6]);
  Butterfly<Ops, Shift>(x2, x5, b, &r[2], &r[5]);
  Butterfly<Ops, Shift>(x3, x4, b, &r[3], &r[4]);
}

// Rows of each 8x8 matrix become its columns.
template <typename Ops>
[[gnu::always_inline]] inline void Transpose(typename Ops::V* r) {
  using V = typename Ops::V;
  const V a0 = Ops::UnpackLo16(r[0], r[1]), a1 = Ops::UnpackHi16(r[0], r[1]);
  const V a2 = Ops::UnpackLo16(r[2], r[3]), a3 = Ops::UnpackHi16(r[2], r[3]);
  const V a4 = Ops::UnpackLo16(r[4], r[5]), a5 = Ops::UnpackHi16(r[4], r[5]);
  const V a6 = Ops::UnpackLo16(r[6], r[7]), a7 = Ops::UnpackHi16(r[6], r[7]);
  const V b0 = Ops::UnpackLo32(a0, a2), b1 = Ops::UnpackHi32(a0, a2);
  const V b2 = Ops::UnpackLo32(a1, a3), b3 = Ops::UnpackHi32(a1, a3);
  const V b4 = Ops::UnpackLo32(a4, a6), b5 = Ops::UnpackHi32(a4, a6);
  const V b6 = Ops::UnpackLo32(a5, a7), b7 = Ops::UnpackHi32(a5, a7);
  r[0] = Ops::UnpackLo64(b0, b4);
  r[1] = Ops::UnpackHi64(b0, b4);
  r[2] = Ops::UnpackLo64(b1, b5);
  r[3] = Ops::UnpackHi64(b1, b5);
  r[4] = Ops::UnpackLo64(b2, b6);
  r[5] = Ops::UnpackHi64(b2, b6);
  r[6] = Ops::UnpackLo64(b3, b7);
  r[7] = Ops::UnpackHi64(b3, b7);
}

// Both passes on the rows of coefficients in r; each register then holds a row
// of samples as 16-bit lanes, to be packed to bytes with unsigned saturation.
template <typename Ops>
[[gnu::always_inline]] inline void Transform(typename Ops::V* r) {
  Pass<Ops, 10>(r, kColumnBias);
  Transpose<Ops>(r);
  Pass<Ops, 17>(r, kRowBias);
  Transpose<Ops>(r);
}

}  // namespace idct
}  // namespace jpeg
