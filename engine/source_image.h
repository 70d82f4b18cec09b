#pragma once
// The first step of every file's road, for the batch, a single file and the
// preview alike: the checks on its name, then one open and a read in two parts:
// the head, which tells whether the file is worth reading whole, then the rest.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "engine/file_system.h"
#include "engine/image_codec.h"

/// The refusal of an input that is not a file (a FIFO, socket or device).
inline constexpr char kNotAFileText[] = "不是普通文件";

/// The failure of a file that another program kept writing while it was read:
/// read again from its start, it had changed again by its end.
inline constexpr char kChangedWhileReadText[] = "文件在读取时被改写";

/// How much of a file is read before deciding on the rest: every format's
/// signature and, but for a JPEG behind an unusual amount of metadata, its header.
inline constexpr std::size_t kSourceHeadBytes = kFileBlockBytes;

/// Checks the input's name, opens it (once) and reads its head into
/// source->bytes, the file staying open in source->file for the rest. False with
/// the text the file fails with in *errorText: "文件不存在", "不支持的格式"
/// (decided by the name, before anything is read), "文件名含无效字符",
/// kNotAFileText, the library's "Unable to open file", a refusal its head
/// already shows (RefuseFromHead), or kOutOfMemoryText for a file whose bytes
/// alone are more than memoryBudget: no budget can ever admit it.
bool OpenSourceImage(const std::filesystem::path& path, std::uint64_t memoryBudget,
                     SourceImage* source, std::string* errorText);

/// Reads the rest of an opened source, closes it and parses the whole
/// (ParseSourceImage). Every byte comes from one version of the file: one
/// written into since it was opened is read again from its start, once (ask,
/// if given, hears its size first when it grew; no: kOutOfMemoryText).
/// *stamp tells the read version apart; its size is the bytes read. False
/// with "Unable to open file" on a read error, kChangedWhileReadText when the
/// file changed again.
bool ReadRestOfSourceImage(SourceImage* source, FileStamp* stamp, std::string* errorText,
                           const std::function<bool(std::uint64_t)>& ask = {});

/// Both steps at once.
bool ReadSourceImage(const std::filesystem::path& path, std::uint64_t memoryBudget,
                     SourceImage* source, FileStamp* stamp, std::string* errorText);

/// Half the memory the process can still take (AvailableMemoryBytes: what is
/// available now, within the process's own limits), at most 2 GiB; 1 GiB when the
/// system does not say. The other half is left to the threads, the writing and
/// whatever else the process and the machine need meanwhile.
std::uint64_t DefaultMemoryBudget();
