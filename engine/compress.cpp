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

// Writes the output under the first free name, all or nothing. Something that
// appears at the chosen name between the check and the write is left alone and
// the next number is tried. On failure sets errorText.
bool WriteUnderFreeName(const fs::path& outputDir, const PreparedImage& prepared,
                        CompressResult* result, OutputNameMemory* names) {
  unsigned long long* firstUnknown =
      names ? &names->firstUnknown[prepared.fileName.native()] : nullptr;
  for (unsigned long long n = firstUnknown ? *firstUnknown : 0;; ++n) {
    result->outputPath =
        FindFreeOutputPath(outputDir, prepared.fileName, n, &n, &result->errorText);
    if (result->outputPath.empty()) return false;
    const NewFileStatus status =
        WriteNewFile(result->outputPath, prepared.output.data.get(), prepared.output.length,
                     prepared.permissions);
    if (status == NewFileStatus::Exists) continue;
    // A name whose write failed is still free for the next file of that name.
    if (firstUnknown) *firstUnknown = status == NewFileStatus::Created ? n + 1 : n;
    if (status == NewFileStatus::Created) return true;
    result->errorText = "写入失败";
    return false;
  }
}

bool PrepareChecked(const fs::path& inputPath, int quality, PreparedImage* prepared) {
  CompressResult* result = &prepared->result;
  int systemError = 0;
  const PathKind kind = QueryPathKind(inputPath, &systemError);
  if (kind == PathKind::Missing || kind == PathKind::Error) {
    result->errorText = "文件不存在";
    return false;
  }
  // A FIFO, socket or device (a shell glob passes one in) may never end.
  if (kind == PathKind::Other) {
    result->errorText = kNotAFileText;
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
  prepared->permissions = OutputPermissionsFor(inputPath);
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
  result->errorText = kOutOfMemoryText;
  return false;
}

bool WriteChecked(PreparedImage* prepared, const fs::path& outputDir, CompressResult* result,
                  OutputNameMemory* names) {
  *result = std::move(prepared->result);
  if (prepared->stage == PreparedStage::Failed) return false;
  std::string reason;
  if (prepared->stage == PreparedStage::EncoderRefused) {
    // Name the file that would have been written, without creating it.
    result->outputPath = MakeUniqueOutputPath(outputDir, prepared->fileName, &reason);
    return false;
  }
  if (!WriteUnderFreeName(outputDir, *prepared, result, names)) return false;
  // Exactly the bytes written: a size asked of the name afterwards could be
  // unknown (or another file's, had the name changed hands since).
  result->outputBytes = prepared->output.length;
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
    prepared->result.errorText = kOutOfMemoryText;
    return false;
  }
}

bool WritePreparedImage(PreparedImage* prepared, const fs::path& outputDir,
                        CompressResult* result, OutputNameMemory* names) {
  bool written = false;
  try {
    written = WriteChecked(prepared, outputDir, result, names);
  } catch (const std::bad_alloc&) {
    // Thrown only while choosing the name, before anything is created.
    result->errorText = kOutOfMemoryText;
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
