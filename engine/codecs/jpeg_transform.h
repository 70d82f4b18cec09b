#pragma once
// The AAN forward transform of eight values `step` apart, with the reference
// encoder's operations in its order. Each lane of `Lanes` is another block, so
// the SSE2 (4 lanes), AVX2 (8 lanes) and plain kernels share this one copy;
// `Lanes` needs +, - and * by a float, each one IEEE operation per lane.
// (A template, so each kernel's translation unit has its own instance, built
// for its own instruction set.)

template <typename Lanes>
inline void Transform8(Lanes* d, int step) {
  const Lanes d0 = d[0], d1 = d[step], d2 = d[2 * step], d3 = d[3 * step];
  const Lanes d4 = d[4 * step], d5 = d[5 * step], d6 = d[6 * step], d7 = d[7 * step];
  const Lanes tmp0 = d0 + d7, tmp7 = d0 - d7, tmp1 = d1 + d6, tmp6 = d1 - d6;
  const Lanes tmp2 = d2 + d5, tmp5 = d2 - d5, tmp3 = d3 + d4, tmp4 = d3 - d4;
  // Even part
  Lanes tmp10 = tmp0 + tmp3, tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
  const Lanes tmp13 = tmp0 - tmp3;
  d[0] = tmp10 + tmp11;
  d[4 * step] = tmp10 - tmp11;
  const Lanes z1 = (tmp12 + tmp13) * 0.707106781f;
  d[2 * step] = tmp13 + z1;
  d[6 * step] = tmp13 - z1;
  // Odd part
  tmp10 = tmp4 + tmp5;
  tmp11 = tmp5 + tmp6;
  tmp12 = tmp6 + tmp7;
  const Lanes z5 = (tmp10 - tmp12) * 0.382683433f;
  const Lanes z2 = tmp10 * 0.541196100f + z5;
  const Lanes z4 = tmp12 * 1.306562965f + z5;
  const Lanes z3 = tmp11 * 0.707106781f;
  const Lanes z11 = tmp7 + z3, z13 = tmp7 - z3;
  d[5 * step] = z13 + z2;
  d[3 * step] = z13 - z2;
  d[1 * step] = z11 + z4;
  d[7 * step] = z11 - z4;
}
