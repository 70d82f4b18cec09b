#include "engine/compress.h"

#include <cstdio>
#include <string>
#include <system_error>

#include "engine/extension.h"
#include "engine/file_system.h"
#include "engine/image_codec.h"
#include "engine/naming.h"
#include "engine/utf8.h"

namespace fs = std::filesystem;

namespace {

enum class OutputFormat { Unsupported, Jpeg, Png };

OutputFormat FormatOfName(const fs::path& path) {
  const std::string ext = FoldedExtension(path);
  if (ext == ".jpg" || ext == ".jpeg") return OutputFormat::Jpeg;
  if (ext == ".png") return OutputFormat::Png;
  return OutputFormat::Unsupported;
}

std::uint64_t SizeOrUnknown(const fs::path& path) {
  std::error_code ec;
  std::uintmax_t size = fs::file_size(path, ec);
  return ec ? SIZE_UNKNOWN : static_cast<std::uint64_t>(size);
}

// Creates the output file under the first free name. Something that appears at
// the chosen name between the check and the creation is left alone and the next
// number is tried. On failure sets errorText.
std::FILE* CreateUnderFreeName(const fs::path& outputDir, const fs::path& fileName,
                               CompressResult* result) {
  for (unsigned long long n = 0;; ++n) {
    result->outputPath = FindFreeOutputPath(outputDir, fileName, n, &n, &result->errorText);
    if (result->outputPath.empty()) return nullptr;
    std::FILE* file = nullptr;
    switch (CreateNewFile(result->outputPath, &file)) {
      case NewFileStatus::Created:
        return file;
      case NewFileStatus::Exists:
        break;
      case NewFileStatus::Failed:
        result->errorText = "写入失败";
        return nullptr;
    }
  }
}

bool WriteJpeg(const unsigned char* pixels, const CompressResult& r, int quality,
               std::FILE* file) {
  JpegPixels jpeg = DropAlpha(pixels, r.width, r.height, r.channels);
  return EncodeJpegToFile(jpeg.data, r.width, r.height, jpeg.components,
                          ClampJpegQuality(quality), file);
}

// Closes the output and keeps it only when every byte reached the disk: a file
// this call created but could not finish is removed, never left half-written.
bool FinishOutput(std::FILE* file, bool encoded, const fs::path& path) {
  bool ok = encoded && !std::ferror(file);
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::error_code ec;
    fs::remove(path, ec);
  }
  return ok;
}

}  // namespace

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

bool CompressImageFile(const fs::path& inputPath, const fs::path& outputDir, int quality,
                       CompressResult* result) {
  std::error_code ec;
  fs::file_status status = fs::status(inputPath, ec);
  if (ec || !fs::exists(status)) {
    result->errorText = "文件不存在";
    return false;
  }
  const OutputFormat format = FormatOfName(inputPath);
  if (format == OutputFormat::Unsupported) {
    result->errorText = "不支持的格式";
    return false;
  }
  std::string utf8Input;
  if (!PathToUtf8(inputPath, &utf8Input)) {
    result->errorText = "文件名含无效字符";
    return false;
  }
  std::string reason;
  DecodedPixels pixels = DecodeImageFile(utf8Input, &result->width, &result->height,
                                         &result->channels, &reason);
  if (!pixels) {
    result->errorText = reason.empty() ? "解码失败" : reason;
    return false;
  }
  result->inputBytes = SizeOrUnknown(inputPath);

  // A PNG is encoded whole in memory and written in one piece; a JPEG streams
  // from the encoder into the file, as the library does for its own files.
  LibraryBuffer png;
  std::size_t pngLength = 0;
  if (format == OutputFormat::Png) {
    png = EncodePngToMemory(pixels.get(), result->width, result->height, result->channels,
                            PngLevelForQuality(quality), &pngLength);
    if (!png) {
      // Name the file that would have been written, without creating it.
      result->outputPath = MakeUniqueOutputPath(outputDir, inputPath.filename(), &reason);
      result->errorText = "写入失败";
      return false;
    }
    pixels.reset();
  }
  std::FILE* file = CreateUnderFreeName(outputDir, inputPath.filename(), result);
  if (!file) return false;
  bool encoded = format == OutputFormat::Png
                     ? std::fwrite(png.get(), 1, pngLength, file) == pngLength
                     : WriteJpeg(pixels.get(), *result, quality, file);
  if (!FinishOutput(file, encoded, result->outputPath)) {
    result->errorText = "写入失败";
    return false;
  }
  result->outputBytes = SizeOrUnknown(result->outputPath);
  return true;
}
