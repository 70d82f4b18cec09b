#include "engine/compress.h"

#include <cstdio>
#include <string>
#include <system_error>

#include "engine/extension.h"
#include "engine/file_system.h"
#include "engine/naming.h"
#include "engine/utf8.h"

namespace fs = std::filesystem;

namespace {

std::uint64_t SizeOrUnknown(const fs::path& path) {
  std::uint64_t size = 0;
  return QueryFileSize(path, &size) ? size : SIZE_UNKNOWN;
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

void WriteToFile(void* context, void* data, int size) {
  std::fwrite(data, 1, static_cast<std::size_t>(size), static_cast<std::FILE*>(context));
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

bool CompressImageFile(const fs::path& inputPath, const fs::path& outputDir, int quality,
                       CompressResult* result) {
  int systemError = 0;
  const PathKind kind = QueryPathKind(inputPath, &systemError);
  if (kind == PathKind::Missing || kind == PathKind::Error) {
    result->errorText = "文件不存在";
    return false;
  }
  const ImageKind format = ImageKindOfName(inputPath);
  if (format == ImageKind::Other) {
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
  if (format == ImageKind::Png) {
    png = EncodeOutputPng(pixels.get(), result->width, result->height, result->channels, quality,
                          &pngLength);
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
  bool encoded = format == ImageKind::Png
                     ? std::fwrite(png.get(), 1, pngLength, file) == pngLength
                     : EncodeOutputJpeg(pixels.get(), result->width, result->height,
                                        result->channels, quality, WriteToFile, file);
  if (!FinishOutput(file, encoded, result->outputPath)) {
    result->errorText = "写入失败";
    return false;
  }
  result->outputBytes = SizeOrUnknown(result->outputPath);
  return true;
}
