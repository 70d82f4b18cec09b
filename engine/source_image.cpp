#include "engine/source_image.h"

#include <cstdint>

#include <algorithm>

#include "engine/machine.h"
#include "engine/utf8.h"

namespace {

bool CheckName(const std::filesystem::path& path, SourceImage* source, std::string* errorText) {
  int systemError = 0;
  const PathKind what = QueryPathKind(path, &systemError);
  if (what == PathKind::Missing || what == PathKind::Error) {
    *errorText = "文件不存在";
    return false;
  }
  // A FIFO, socket or device (a shell glob passes one in) may never end.
  if (what == PathKind::Other) {
    *errorText = kNotAFileText;
    return false;
  }
  source->kind = ImageKindOfName(path);
  if (source->kind == ImageKind::Other) {
    *errorText = "不支持的格式";
    return false;
  }
  // The file is read by its own path, but a name without a UTF-8 form could be
  // neither reported nor shown as it is.
  std::string utf8;
  if (!PathToUtf8(path, &utf8)) {
    *errorText = "文件名含无效字符";
    return false;
  }
  return true;
}

}  // namespace

bool OpenSourceImage(const std::filesystem::path& path, std::uint64_t memoryBudget,
                     SourceImage* source, std::string* errorText) {
  if (!CheckName(path, source, errorText) || !OpenInputFile(path, &source->file, errorText))
    return false;
  bool ended = false;
  if (!ReadOpenedFile(&source->file, kSourceHeadBytes, &source->bytes, &ended, errorText))
    return false;
  // A file read whole already is judged whole; a larger one by its head first,
  // before the rest of it takes any memory.
  if (ended) ParseSourceImage(source);
  else if (RefuseFromHead(source, source->file.stamp.size, errorText)) return false;
  // (A JPEG decoded as it is read never holds its bytes.)
  if (source->file.stamp.size > memoryBudget && !DecodesAsRead(*source)) {
    *errorText = kOutOfMemoryText;
    return false;
  }
  return true;
}

bool ReadRestOfSourceImage(SourceImage* source, FileStamp* stamp, std::string* errorText) {
  const FileStamp opened = source->file.stamp;
  const bool readWhole = source->file.handle == -1;  // and parsed by OpenSourceImage
  bool ended = readWhole;
  while (!ended) {
    if (!ReadOpenedFile(&source->file, SIZE_MAX, &source->bytes, &ended, errorText)) {
      source->bytes = FileBytes();
      return false;
    }
  }
  // The input's size is that of the file as read: a file that grew or shrank
  // meanwhile still reports what was compressed.
  *stamp = opened;
  stamp->size = source->bytes.size;
  if (!readWhole) ParseSourceImage(source);
  return true;
}

bool ReadSourceImage(const std::filesystem::path& path, std::uint64_t memoryBudget,
                     SourceImage* source, FileStamp* stamp, std::string* errorText) {
  return OpenSourceImage(path, memoryBudget, source, errorText) &&
         ReadRestOfSourceImage(source, stamp, errorText);
}

std::uint64_t DefaultMemoryBudget() {
  const std::uint64_t available = AvailableMemoryBytes();
  if (available == kMemoryUnknown) return std::uint64_t{1} << 30;
  return std::min(available / 2, std::uint64_t{2} << 30);
}
