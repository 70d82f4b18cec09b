#include "engine/source_image.h"

#include <cstdint>

#include <algorithm>
#include <functional>

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

// Reads the source's file on, to `until` or its end. Its bytes must all come
// from one version of it: at its end, a file that another program wrote into
// since it was opened (its stamp now differs) would give a head of one version
// and a rest of another. It is then read again from its start, once, as the
// version it is now; a file that changes again fails. A read again that would
// hold more than was booked asks first (ask).
bool ReadSourceOn(SourceImage* source, std::size_t until, bool* ended, std::string* errorText,
                  const std::function<bool(std::uint64_t)>& ask = {}) {
  OpenedFile& file = source->file;
  for (;;) {
    if (!ReadOpenedFile(&file, until, &source->bytes, ended, errorText)) {
      source->bytes = FileBytes();
      return false;
    }
    if (!*ended) return true;
    FileStamp now;
    if (!QueryOpenedFileStamp(file, &now)) {
      *errorText = "Unable to open file";
      return false;
    }
    if (now == file.stamp) {
      CloseOpenedFile(&file);
      return true;
    }
    source->bytes = FileBytes();
    if (source->readAgain) {
      *errorText = kChangedWhileReadText;
      return false;
    }
    if (now.size > file.stamp.size && ask && !ask(now.size)) {
      *errorText = kOutOfMemoryText;
      return false;
    }
    source->readAgain = true;
    file.stamp = now;
  }
}

}  // namespace

bool OpenSourceImage(const std::filesystem::path& path, std::uint64_t memoryBudget,
                     SourceImage* source, std::string* errorText) {
  if (!CheckName(path, source, errorText) || !OpenInputFile(path, &source->file, errorText))
    return false;
  bool ended = false;
  if (!ReadSourceOn(source, kSourceHeadBytes, &ended, errorText)) return false;
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

bool ReadRestOfSourceImage(SourceImage* source, FileStamp* stamp, std::string* errorText,
                           const std::function<bool(std::uint64_t)>& ask) {
  const bool readWhole = source->file.handle == -1;  // and parsed by OpenSourceImage
  bool ended = readWhole;
  if (!readWhole && !ReadSourceOn(source, SIZE_MAX, &ended, errorText, ask)) return false;
  // The input's size is that of the file as read: a file cut meanwhile still
  // reports what was compressed.
  *stamp = source->file.stamp;
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
