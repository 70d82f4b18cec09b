#include "engine/compress.h"

#include <cstdio>
#include <new>
#include <string>
#include <system_error>

#include "engine/file_system.h"
#include "engine/naming.h"
#include "engine/source_image.h"

namespace fs = std::filesystem;

namespace {

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

bool ReadChecked(const fs::path& inputPath, PreparedImage* prepared) {
  FileStamp stamp;
  if (!ReadSourceImage(inputPath, &prepared->source, &stamp, &prepared->result.errorText))
    return false;
  // The input's size is that of the file as read: a file removed or replaced
  // afterwards still reports what was compressed.
  prepared->result.inputBytes = stamp.size;
  prepared->fileName = inputPath.filename();
  return true;
}

bool PrepareChecked(int quality, PreparedImage* prepared) {
  CompressResult* result = &prepared->result;
  std::string reason;
  DecodedPixels pixels = DecodeSourceImage(&prepared->source, &result->width, &result->height,
                                           &result->channels, &reason);
  const bool asJpeg = prepared->source.kind == ImageKind::Jpeg;
  prepared->source = SourceImage();  // the file's bytes are not needed any more
  if (!pixels) {
    result->inputBytes = 0;
    result->errorText = reason.empty() ? "解码失败" : reason;
    return false;
  }
  switch (EncodeOutputFile(asJpeg, pixels.get(), result->width, result->height,
                           result->channels, quality, &prepared->output)) {
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

// What a step that ran out of memory leaves: one failed file, not a failed batch.
void FailOutOfMemory(PreparedImage* prepared) {
  prepared->stage = PreparedStage::Failed;
  prepared->source = SourceImage();
  prepared->output = EncodedFile();
  prepared->result.errorText = kOutOfMemory;
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
  result->outputBytes = output.length;  // every byte reached the file
  return true;
}

}  // namespace

bool ReadInputImage(const fs::path& inputPath, PreparedImage* prepared) {
  try {
    return ReadChecked(inputPath, prepared);
  } catch (const std::bad_alloc&) {
    FailOutOfMemory(prepared);
    return false;
  }
}

bool PrepareReadImage(int quality, PreparedImage* prepared) {
  try {
    return PrepareChecked(quality, prepared);
  } catch (const std::bad_alloc&) {
    FailOutOfMemory(prepared);
    return false;
  }
}

bool PrepareImageFile(const fs::path& inputPath, int quality, PreparedImage* prepared) {
  return ReadInputImage(inputPath, prepared) && PrepareReadImage(quality, prepared);
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
