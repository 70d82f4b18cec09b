#pragma once
// YCbCr to RGB with the library's integers, written once over `Ops` (see
// jpeg_simd_ops.h): jpeg_color.cpp runs it on eight pixels in SSE2,
// jpeg_color_avx2.cpp on sixteen in AVX2. Every factor is a 12-bit one shifted
// left by 8, so dividing the sums by 256 first changes nothing:
//   r = (4096 y + 2048 + 5743 cr) >> 12
//   b = (4096 y + 2048 + 7258 cb) >> 12
//   g = (4096 y + 2048 - 2925 cr + ((-1410 cb) >> 8 << 8)) >> 12
// (the last term is the green Cb product with its low 16 bits cut, / 256).

namespace jpeg {
namespace color {

// From 16-bit lanes of Y and of Cb and Cr less 128, in pixel order, red, green
// and blue as 16-bit lanes in the same order (unpacking and packing both work
// within each 128-bit half: the pixels come back where they were).
template <typename Ops>
[[gnu::always_inline]] inline void YCbCrLanes(typename Ops::V y, typename Ops::V cb,
                                              typename Ops::V cr, typename Ops::V* r,
                                              typename Ops::V* g, typename Ops::V* b) {
  using V = typename Ops::V;
  const V round = Ops::Splat32(2048);
  const V toR = Ops::Pairs(4096, 5743), toB = Ops::Pairs(4096, 7258);
  const V toG = Ops::Pairs(4096, -2925), cbToG = Ops::Pairs(-1410, 0);
  const V ycrLo = Ops::UnpackLo16(y, cr), ycrHi = Ops::UnpackHi16(y, cr);
  const V ycbLo = Ops::UnpackLo16(y, cb), ycbHi = Ops::UnpackHi16(y, cb);
  const V cbLo = Ops::UnpackLo16(cb, Ops::Zero()), cbHi = Ops::UnpackHi16(cb, Ops::Zero());
  auto finish = [&](V lo, V hi) {
    return Ops::Pack32(Ops::template ShiftRight32<12>(Ops::Add32(lo, round)),
                       Ops::template ShiftRight32<12>(Ops::Add32(hi, round)));
  };
  auto cut = [&](V v) {
    return Ops::template ShiftLeft32<8>(Ops::template ShiftRight32<8>(Ops::MulAdd(v, cbToG)));
  };
  *r = finish(Ops::MulAdd(ycrLo, toR), Ops::MulAdd(ycrHi, toR));
  *b = finish(Ops::MulAdd(ycbLo, toB), Ops::MulAdd(ycbHi, toB));
  *g = finish(Ops::Add32(Ops::MulAdd(ycrLo, toG), cut(cbLo)),
              Ops::Add32(Ops::MulAdd(ycrHi, toG), cut(cbHi)));
}

}  // namespace color
}  // namespace jpeg
