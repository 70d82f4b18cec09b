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
#include <utility>
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

/// A path as the user typed it (an input, the output folder), read as the
/// platform's shell reads it. Windows, Win32's rules: "/" is "\\", "." and ".."
/// are resolved in the text as far as it goes, a name's trailing dots and
/// spaces are dropped ("pics." is "pics"), "//?/" and "//./" are device paths
/// ("\\.\\"), and a last name typed in its 8.3 short form becomes its long
/// name; "\\?\\" paths are taken exactly. Linux: unchanged. A relative path
/// stays relative. Names that come from a folder listing never pass here.
std::filesystem::path ReadTypedPath(const std::filesystem::path& typed);

/// Windows: whether a name of path is one of the reserved device names (CON,
/// PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, also with an extension),
/// which a typed path reaches as the device, never as a folder. Linux: false.
bool NamesADevice(const std::filesystem::path& path);

/// Windows: the form in which every file call of the program gets a path:
/// absolute, behind "\\?\", so the system takes each name exactly as it is
/// spelled, as the folder listing gave it: "dir." is not "dir", "nul.jpg" is a
/// file and not the NUL device, and 260 units are no limit. Only "." and ".."
/// and the separators are resolved, a relative path against the current folder
/// (of its drive, for "C:sub"). Paths kept and shown stay in their usual form.
std::filesystem::path ExtendedLengthPath(const std::filesystem::path& path);

/// One version of a file's content as the system tells it apart: its size and
/// its last write time (in the system's own units), and which file it is: its
/// volume and its number there (device and inode; volume serial and file
/// index) with the time its entry last changed, which a copy that kept the
/// old write time (cp -p) and was moved into the name still changes.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t lastWrite = 0;
  std::uint64_t volume = 0, index = 0;
  std::int64_t changed = 0;
  bool operator==(const FileStamp&) const = default;
};

/// An input file, opened once for reading: what the open file is, before any
/// of its bytes is read. Closed when destroyed.
struct OpenedFile {
  std::intptr_t handle = -1;  // the platform's descriptor or handle; -1 when none
  FileStamp stamp;            // the open file's size and last write time
  /// The mode bits (POSIX) an output made from it gets: who else may read it
  /// follows the input, taken from the open file itself, so a file renamed or
  /// replaced after it was opened changes nothing. Private to the owner when
  /// the file can't tell.
  unsigned outputPermissions = 0600;

  OpenedFile() = default;
  OpenedFile(OpenedFile&& other) noexcept { *this = std::move(other); }
  OpenedFile& operator=(OpenedFile&& other) noexcept;
  ~OpenedFile();
};

/// Opens the regular file at path for reading. False with the image library's
/// own words in *error ("Unable to open file") when it can't be opened or is
/// not a file on a disk (a device or a pipe may never end).
bool OpenInputFile(const std::filesystem::path& path, OpenedFile* file, std::string* error);

/// Reads the open file on into *bytes (from position bytes->size) until they
/// hold at least `until` bytes or the file ends (*ended); the file stays open.
/// False with "Unable to open file" in *error on a read error. Throws std::bad_alloc when memory for
/// the bytes can't be had.
bool ReadOpenedFile(OpenedFile* file, std::size_t until, FileBytes* bytes, bool* ended,
                    std::string* error);

/// Reads up to n bytes of the open file from position at into out, wherever
/// its reading stood before; returns how many (0 at its end), -1 on an error.
long long ReadOpenedFileAt(const OpenedFile& file, std::uint64_t at, unsigned char* out,
                           std::size_t n);

/// The stamp the open file has now: another program's write into it since it
/// was opened shows as another size, write time or change time. False when
/// unknown.
bool QueryOpenedFileStamp(const OpenedFile& file, FileStamp* stamp);

/// Closes the open file; its stamp stays.
void CloseOpenedFile(OpenedFile* file);

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

enum class NewFileStatus { Created, Exists, Failed };

/// Puts the bytes into a new file at path, all or nothing: the name shows the file
/// only once every byte is written, so a run killed at any moment never leaves a
/// part of an output under an output name. Exists when anything at all is there
/// (left untouched; on FAT and exFAT through FUSE, which can't refuse, the name
/// is checked just before the rename, and a file another program makes there
/// in between is replaced); Failed leaves nothing behind. permissions (POSIX, within the
/// umask; 0 means 0600, private to the owner) are the new file's mode.
NewFileStatus WriteNewFile(const std::filesystem::path& path, const unsigned char* data,
                           std::size_t length, unsigned permissions);

/// An output written before it has a name, so that its bytes need not be held
/// until it is named (Linux: an unnamed file in the output folder, which the
/// system frees with its descriptor if it is never named; Windows: a hidden
/// temporary file there, marked to be deleted with its handle until it is
/// named). Closed, and gone, when destroyed unnamed.
struct OutputDraft {
  std::intptr_t handle = -1;  // -1: none
  std::filesystem::path temporary;  // Windows: the hidden file's name until it has its own
  std::uint64_t length = 0;   // the bytes written into it
  bool failed = false;        // a write into it failed: the output can't be had
  bool synced = false;

  OutputDraft() = default;
  OutputDraft(OutputDraft&& other) noexcept { *this = std::move(other); }
  OutputDraft& operator=(OutputDraft&& other) noexcept;
  ~OutputDraft();
};

/// Starts a draft in folder with the output's permissions (as WriteNewFile).
/// False where there is none to be had (a file system without unnamed files,
/// a folder that refuses DELETE, no descriptor left): the output is then held
/// in memory.
bool StartOutputDraft(const std::filesystem::path& folder, unsigned permissions,
                      OutputDraft* draft);

/// Appends the bytes; on a write error marks the draft failed (and false).
bool AppendToOutputDraft(OutputDraft* draft, const unsigned char* data, std::size_t length);

/// Gives the draft the name path once its bytes are on the disk, never
/// replacing anything: Exists leaves the draft for another name; Failed with
/// *unnamable when no name can be given to it here (Linux: no /proc, no
/// privilege for the other way; Windows: its rename refused): its bytes are
/// then read back (ReadOutputDraft) and written as WriteNewFile writes.
NewFileStatus NameOutputDraft(OutputDraft* draft, const std::filesystem::path& path,
                              bool* unnamable);

/// Reads the draft's bytes into out (draft->length of them); false on an error.
bool ReadOutputDraft(const OutputDraft& draft, unsigned char* out);

/// Waits until the names made in folder are on the disk (Linux: the folder's own
/// fsync; Windows journals names as it makes them). Best effort: a failure
/// changes nothing that was reported.
void FlushFolder(const std::filesystem::path& folder);

/// Windows: WriteNewFile's way for an output folder that lets files be made in it
/// but refuses them DELETE (a drop box granting "Write" without "Modify"): no
/// temporary file can be renamed there, so the file is created exclusively under
/// its name and written in place, flushed, and removed again if the write fails
/// and the folder allows it. A run killed meanwhile can leave a cut file.
NewFileStatus WriteNewFileInPlace(const std::filesystem::path& path, const unsigned char* data,
                                  std::size_t length);
