// Widening a subsampled component to the image's size, row by row, with the
// library's filters: triangle filters for 2x horizontal, vertical or both, and
// copies of the nearest sample for every other factor.
#include "engine/codecs/jpeg_internal.h"

namespace jpeg {
namespace {

unsigned char Quarter(int x) { return static_cast<unsigned char>(x >> 2); }
unsigned char Sixteenth(int x) { return static_cast<unsigned char>(x >> 4); }

void Vertical2(unsigned char* out, const unsigned char* near, const unsigned char* far, int w) {
  for (int i = 0; i < w; ++i) out[i] = Quarter(3 * near[i] + far[i] + 2);
}

void Horizontal2(unsigned char* out, const unsigned char* in, int w) {
  if (w == 1) {
    out[0] = out[1] = in[0];
    return;
  }
  out[0] = in[0];
  out[1] = Quarter(in[0] * 3 + in[1] + 2);
  int i = 1;
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
  for (int i = 1; i < w; ++i) {
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
  u->line0 = u->line1 = c.data;
}

const unsigned char* NextUpsampledRow(const Decoder& d, int k, Upsampler* u,
                                      unsigned char* linebuf) {
  // Each source row serves vs output rows; the nearer of the two rows around
  // an output row is weighted 3:1 against the farther.
  const bool lower = u->ystep >= (u->vs >> 1);
  const unsigned char* near = lower ? u->line1 : u->line0;
  const unsigned char* far = lower ? u->line0 : u->line1;
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
    u->line0 = u->line1;
    if (++u->ypos < d.comp[k].y) u->line1 += d.comp[k].w2;
  }
  return row;
}

}  // namespace jpeg
