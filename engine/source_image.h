#pragma once
// The first step of every file's road, for the batch, a single file and the
// preview alike: the checks on its name, then one open and one read.
#include <filesystem>
#include <string>

#include "engine/file_system.h"
#include "engine/image_codec.h"

/// The refusal of an input that is not a file (a FIFO, socket or device).
inline constexpr char kNotAFileText[] = "不是普通文件";

/// Reads the input at path once and parses what it says (ParseSourceImage). False
/// with the text the file fails with in *errorText: "文件不存在", "不支持的格式"
/// (decided by the name, before anything is read), "文件名含无效字符", kNotAFileText
/// or the library's "Unable to open file". *stamp tells the read version apart.
bool ReadSourceImage(const std::filesystem::path& path, SourceImage* source, FileStamp* stamp,
                     std::string* errorText);
