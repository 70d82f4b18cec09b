#include "engine/encode.h"

#include <new>

#include "engine/codecs/jpeg_writer.h"
#include "engine/codecs/png_writer.h"

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
  out.owned.reset(new (std::nothrow) unsigned char[n * out.components]);
  if (!out.owned) return out;
  unsigned char* dst = out.owned.get();
  for (std::size_t i = 0; i < n; ++i, pixels += channels)
    for (int c = 0; c < out.components; ++c) *dst++ = pixels[c];
  out.data = out.owned.get();
  return out;
}

namespace {

EncodeStatus StatusOf(WriteStatus status) {
  return status == WriteStatus::Done      ? EncodeStatus::Done
         : status == WriteStatus::Refused ? EncodeStatus::Refused
                                          : EncodeStatus::OutOfMemory;
}

// Our JPEG writer takes 2- and 4-channel pixels as they are and ignores their
// alpha, as DropAlpha would: no copy of the pixels is made.
EncodeStatus WriteOutputJpeg(const unsigned char* pixels, int width, int height, int channels,
                             int quality, ByteBuffer* out) {
  return StatusOf(WriteJpeg(pixels, width, height, channels, ClampJpegQuality(quality), out));
}

}  // namespace

namespace {

// The file keeps its own length only; a failed encode keeps nothing.
EncodeStatus Finish(EncodeStatus status, ByteBuffer* out, EncodedFile* file) {
  // The writers grow their blocks ahead of the bytes; the file now waits to be
  // written holding its own length only.
  if (status == EncodeStatus::Done) ShrinkBytes(out);
  else ReleaseBytes(out);
  file->data.reset(out->data);
  file->length = out->length;
  return status;
}

}  // namespace

EncodeStatus EncodeOutputFile(bool asJpeg, const unsigned char* pixels, int width, int height,
                              int channels, int quality, EncodedFile* file) {
  ByteBuffer out;
  const EncodeStatus status =
      asJpeg ? WriteOutputJpeg(pixels, width, height, channels, quality, &out)
             : StatusOf(WritePng(pixels, width, height, channels, PngLevelForQuality(quality), &out));
  return Finish(status, &out, file);
}

EncodeStatus EncodeJpegFromRows(const JpegRowSource& rows, int width, int height, int channels,
                                int quality, EncodedFile* file, const ByteSink* sink) {
  ByteBuffer out;
  const EncodeStatus status = StatusOf(
      WriteJpegRows(rows, width, height, channels, ClampJpegQuality(quality), &out, sink));
  return Finish(status, &out, file);
}
