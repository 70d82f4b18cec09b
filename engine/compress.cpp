#include "engine/compress.h"

#include <cstdio>
#include <new>
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

// Closes the output and keeps it only when every byte reached the disk: a file
// this call created but could not finish is removed, never left half-written.
bool FinishOutput(std::FILE* file, bool encoded, const fs::path& path) {
  bool ok = encoded && !std::ferror(file);
  ok = std::fclose(file) == 0 && ok;
  if (!ok) RemoveCreatedFile(path);
  return ok;
}

// Text of every failed allocation on the way, as the image library words it.
constexpr char kOutOfMemory[] = "Out of memory";

bool PrepareChecked(const fs::path& inputPath, int quality, PreparedImage* prepared) {
  CompressResult* result = &prepared->result;
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
  // The input's size is that of the file as decoded, measured on the open file: a
  // file removed or replaced after it was read still reports what was read.
  std::string reason;
  DecodedPixels pixels = DecodeImageFile(utf8Input, &result->width, &result->height,
                                         &result->channels, &result->inputBytes, &reason);
  if (!pixels) {
    result->inputBytes = 0;
    result->errorText = reason.empty() ? "解码失败" : reason;
    return false;
  }
  prepared->fileName = inputPath.filename();
  switch (EncodeOutputFile(format == ImageKind::Jpeg, pixels.get(), result->width,
                           result->height, result->channels, quality, &prepared->output)) {
    case EncodeStatus::Done:
      prepared->stage = PreparedStage::Encoded;
      return true;
    case EncodeStatus::Refused:
      prepared->stage = PreparedStage::EncoderRefused;
      result->errorText = "写入失败";
      return false;
    case EncodeStatus::OutOfMemory:
      break;
  }
  result->errorText = kOutOfMemory;
  return false;
}

bool WriteChecked(PreparedImage* prepared, const fs::path& outputDir, CompressResult* result) {
  *result = std::move(prepared->result);
  if (prepared->stage == PreparedStage::Failed) return false;
  std::string reason;
  if (prepared->stage == PreparedStage::EncoderRefused) {
    // Name the file that would have been written, without creating it.
    result->outputPath = MakeUniqueOutputPath(outputDir, prepared->fileName, &reason);
    return false;
  }
  std::FILE* file = CreateUnderFreeName(outputDir, prepared->fileName, result);
  if (!file) return false;
  const EncodedFile& output = prepared->output;
  const bool written = std::fwrite(output.data.get(), 1, output.length, file) == output.length;
  if (!FinishOutput(file, written, result->outputPath)) {
    result->errorText = "写入失败";
    return false;
  }
  result->outputBytes = SizeOrUnknown(result->outputPath);
  return true;
}

}  // namespace

bool PrepareImageFile(const fs::path& inputPath, int quality, PreparedImage* prepared) {
  try {
    return PrepareChecked(inputPath, quality, prepared);
  } catch (const std::bad_alloc&) {
    // One file that does not fit must not end the batch it is part of.
    prepared->stage = PreparedStage::Failed;
    prepared->output = EncodedFile();
    prepared->result.errorText = kOutOfMemory;
    return false;
  }
}

bool WritePreparedImage(PreparedImage* prepared, const fs::path& outputDir,
                        CompressResult* result) {
  bool written = false;
  try {
    written = WriteChecked(prepared, outputDir, result);
  } catch (const std::bad_alloc&) {
    // Thrown only while choosing the name, before anything is created.
    result->errorText = kOutOfMemory;
  }
  prepared->output = EncodedFile();
  return written;
}

bool CompressImageFile(const fs::path& inputPath, const fs::path& outputDir, int quality,
                       CompressResult* result) {
  PreparedImage prepared;
  PrepareImageFile(inputPath, quality, &prepared);
  return WritePreparedImage(&prepared, outputDir, result);
}
