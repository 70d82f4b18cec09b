#include "engine/source_image.h"

#include "engine/utf8.h"

bool ReadSourceImage(const std::filesystem::path& path, SourceImage* source, FileStamp* stamp,
                     std::string* errorText) {
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
  if (!ReadWholeFile(path, &source->bytes, stamp, errorText)) return false;
  ParseSourceImage(source);
  return true;
}
