#pragma once
// The few file-system questions whose answers differ by platform in ways the
// standard library hides (which error a query failed with, exclusive creation,
// path forms its Windows half cannot ask about).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/file_bytes.h"

enum class PathKind { Missing, Folder, File, Other, Error };

/// What is at path, following symbolic links: a dangling link is Missing. Missing
/// covers "file/path not found", "bad network path", "network name deleted",
/// "invalid name" and "directory name invalid"; any other failure is Error with
/// the system's code in *systemError. Asks the system itself: the C runtime's status query, under the standard library on
/// Windows, fails on a bare drive ("C:"), a drive-relative path ("C:sub") and a
/// share root ("\\nas\photos"), which are folders here like any other.
PathKind QueryPathKind(const std::filesystem::path& path, int* systemError);

/// One version of a file's content as the system tells it apart: its size and
/// its last write time (in the system's own units).
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t lastWrite = 0;
  bool operator==(const FileStamp&) const = default;
};

/// Opens the file at path once and reads it whole into *bytes (empty before); *stamp describes
/// the open file (its size is the bytes read). False with the image library's
/// own words in *error ("Unable to open file") when it can't be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, FileBytes* bytes, FileStamp* stamp,
                   std::string* error);

/// The stamp of the file at path, following symbolic links, without opening it
/// for reading. False when unknown or not a file.
bool QueryFileStamp(const std::filesystem::path& path, FileStamp* stamp);

/// A folder that is never made: a root ("/", "C:", "C:\") or, on Windows, a
/// network share ("\\nas\photos") or a server ("\\nas").
bool IsRootFolder(const std::filesystem::path& path);

/// Makes the one folder path (its parent must exist); false with the system's
/// error in *error otherwise, also when something is already there.
bool MakeFolder(const std::filesystem::path& path, std::error_code* error);

/// What occupies a name, without following a link there: Free when nothing does,
/// Taken by anything (a file, a folder, a link even dangling or looping, a special
/// file, a name another run is still writing), Error with the system's code in
/// *systemError when the system can't say.
enum class NameState { Free, Taken, Error };
NameState QueryNameState(const std::filesystem::path& path, int* systemError);

/// The longest file name (one path component) the platform's file systems take,
/// in path units: bytes on Linux, UTF-16 units on Windows.
std::size_t MaxFileNameUnits();

/// Permission bits of the input an output is made from, for the output (POSIX;
/// execute bits are never passed on). 0 when unknown or where files have none.
unsigned OutputPermissionsFor(const std::filesystem::path& inputPath);

enum class NewFileStatus { Created, Exists, Failed };

/// Puts the bytes into a new file at path, all or nothing: the name shows the file
/// only once every byte is written, so a run killed at any moment never leaves a
/// part of an output under an output name. Exists when anything at all is there
/// (left untouched); Failed leaves nothing behind. permissions (POSIX, within the
/// umask; 0 means 0666) are the new file's mode.
NewFileStatus WriteNewFile(const std::filesystem::path& path, const unsigned char* data,
                           std::size_t length, unsigned permissions);
