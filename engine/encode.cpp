#include "engine/encode.h"

int PngLevelForQuality(int quality) { return (8 * quality) / 100 + 1; }

int ClampJpegQuality(int quality) {
  return quality < 1 ? 1 : quality > 100 ? 100 : quality;
}

JpegPixels DropAlpha(const unsigned char* pixels, int width, int height, int channels) {
  JpegPixels out;
  if (channels != 2 && channels != 4) {
    out.data = pixels;
    out.components = channels;
    return out;
  }
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  out.components = channels - 1;
  out.owned.reset(new unsigned char[n * out.components]);
  unsigned char* dst = out.owned.get();
  for (std::size_t i = 0; i < n; ++i, pixels += channels)
    for (int c = 0; c < out.components; ++c) *dst++ = pixels[c];
  out.data = out.owned.get();
  return out;
}

bool EncodeOutputJpeg(const unsigned char* pixels, int width, int height, int channels,
                      int quality, stbi_write_func* write, void* context) {
  JpegPixels jpeg = DropAlpha(pixels, width, height, channels);
  return EncodeJpeg(jpeg.data, width, height, jpeg.components, ClampJpegQuality(quality), write,
                    context);
}

LibraryBuffer EncodeOutputPng(const unsigned char* pixels, int width, int height, int channels,
                              int quality, std::size_t* length) {
  return EncodePngToMemory(pixels, width, height, channels, PngLevelForQuality(quality), length);
}
