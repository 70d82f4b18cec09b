#include "engine/encode.h"

#include <cstdlib>
#include <cstring>
#include <new>

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

EncodeStatus EncodeOutputJpeg(const unsigned char* pixels, int width, int height, int channels,
                              int quality, stbi_write_func* write, void* context) {
  JpegPixels jpeg = DropAlpha(pixels, width, height, channels);
  if (!jpeg.data) return EncodeStatus::OutOfMemory;
  return EncodeJpeg(jpeg.data, width, height, jpeg.components, ClampJpegQuality(quality), write,
                    context)
             ? EncodeStatus::Done
             : EncodeStatus::Refused;
}

LibraryBuffer EncodeOutputPng(const unsigned char* pixels, int width, int height, int channels,
                              int quality, std::size_t* length) {
  return EncodePngToMemory(pixels, width, height, channels, PngLevelForQuality(quality), length);
}

namespace {

// The encoder's chunks gathered in one block that grows by doubling. A block that
// can't grow marks the stream failed instead of throwing through the library.
struct MemoryStream {
  unsigned char* data = nullptr;
  std::size_t length = 0;
  std::size_t capacity = 0;
  bool failed = false;
};

void AppendToStream(void* context, void* chunk, int size) {
  auto* stream = static_cast<MemoryStream*>(context);
  const std::size_t n = static_cast<std::size_t>(size);
  if (stream->failed) return;
  if (stream->length + n > stream->capacity) {
    std::size_t capacity = stream->capacity ? stream->capacity * 2 : 64 * 1024;
    while (capacity < stream->length + n) capacity *= 2;
    void* grown = std::realloc(stream->data, capacity);
    if (!grown) {
      stream->failed = true;
      return;
    }
    stream->data = static_cast<unsigned char*>(grown);
    stream->capacity = capacity;
  }
  std::memcpy(stream->data + stream->length, chunk, n);
  stream->length += n;
}

}  // namespace

EncodeStatus EncodeOutputFile(bool asJpeg, const unsigned char* pixels, int width, int height,
                              int channels, int quality, EncodedFile* file) {
  if (!asJpeg) {
    file->data = EncodeOutputPng(pixels, width, height, channels, quality, &file->length);
    return file->data ? EncodeStatus::Done : EncodeStatus::Refused;
  }
  MemoryStream stream;
  EncodeStatus status =
      EncodeOutputJpeg(pixels, width, height, channels, quality, AppendToStream, &stream);
  file->data.reset(stream.data);
  if (status == EncodeStatus::Done && stream.failed) status = EncodeStatus::OutOfMemory;
  file->length = status == EncodeStatus::Done ? stream.length : 0;
  if (status != EncodeStatus::Done) file->data.reset();
  return status;
}
