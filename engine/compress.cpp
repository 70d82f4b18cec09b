#include "engine/compress.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>

#include "engine/file_system.h"
#include "engine/naming.h"
#include "engine/source_image.h"

namespace fs = std::filesystem;

namespace {

// The output under the name path: its draft named, or its bytes written.
NewFileStatus WriteOutputAt(PreparedImage* prepared, const fs::path& path) {
  if (prepared->draft.handle != -1) {
    bool unnamable = false;
    const NewFileStatus status = NameOutputDraft(&prepared->draft, path, &unnamable);
    if (!unnamable) return status;
    // Written, but no name can be given to it here: its bytes go the usual way.
    const std::size_t length = static_cast<std::size_t>(prepared->draft.length);
    EncodedFile held;
    held.data.reset(static_cast<unsigned char*>(std::malloc(length ? length : 1)));
    if (!held.data) throw std::bad_alloc();
    if (!ReadOutputDraft(prepared->draft, held.data.get())) return NewFileStatus::Failed;
    held.length = length;
    prepared->draft = OutputDraft();
    prepared->output = std::move(held);
  }
  return WriteNewFile(path, prepared->output.data.get(), prepared->output.length,
                      prepared->permissions);
}

// Writes the output under the first free name, all or nothing. Something that
// appears at the chosen name between the check and the write is left alone and
// the next number is tried. On failure sets errorText.
bool WriteUnderFreeName(const fs::path& outputDir, PreparedImage* prepared,
                        CompressResult* result, OutputNameMemory* names) {
  unsigned long long* firstUnknown =
      names ? &names->firstUnknown[prepared->fileName.native()] : nullptr;
  for (unsigned long long n = firstUnknown ? *firstUnknown : 0;; ++n) {
    result->outputPath =
        FindFreeOutputPath(outputDir, prepared->fileName, n, &n, &result->errorText);
    if (result->outputPath.empty()) return false;
    const NewFileStatus status = WriteOutputAt(prepared, result->outputPath);
    if (status == NewFileStatus::Exists) continue;
    // A name whose write failed is still free for the next file of that name.
    if (firstUnknown) *firstUnknown = status == NewFileStatus::Created ? n + 1 : n;
    if (status == NewFileStatus::Created) return true;
    result->errorText = "写入失败";
    return false;
  }
}

bool ReadHeadChecked(const fs::path& inputPath, std::uint64_t memoryBudget,
                     PreparedImage* prepared) {
  if (!OpenSourceImage(inputPath, memoryBudget, &prepared->source, &prepared->result.errorText))
    return false;
  prepared->fileName = inputPath.filename();
  prepared->permissions = prepared->source.file.outputPermissions;
  return true;
}

const unsigned char* NextRow(void* rows, int) {
  return NextJpegRow(static_cast<JpegRowDecode*>(rows));
}

// The writer's bytes go into the file's draft, started once they reach 256 KiB
// (small outputs never have one); where none can be started, they stay with
// the writer. A failed write into the draft fails the file when it is named.
struct DraftSink {
  PreparedImage* prepared;
  bool refused = false;
};

bool TakeIntoDraft(void* user, const unsigned char* data, std::size_t n) {
  auto* sink = static_cast<DraftSink*>(user);
  PreparedImage* prepared = sink->prepared;
  if (prepared->draft.handle == -1 &&
      (sink->refused || prepared->outputFolder.empty() ||
       !StartOutputDraft(prepared->outputFolder, prepared->permissions, &prepared->draft))) {
    sink->refused = true;
    return false;
  }
  AppendToOutputDraft(&prepared->draft, data, n);
  return true;
}

// A JPEG encoded from rows, into the file's draft where it grows large.
EncodeStatus EncodeRows(JpegRowDecode* rows, int quality, PreparedImage* prepared) {
  CompressResult* result = &prepared->result;
  DraftSink sink{prepared};
  const ByteSink take{TakeIntoDraft, &sink};
  const EncodeStatus status =
      EncodeJpegFromRows(JpegRowSource{NextRow, rows}, result->width, result->height,
                         result->channels, quality, &prepared->output, &take);
  if (prepared->draft.handle != -1 && status == EncodeStatus::Done) {
    // The rest joins the draft: the file then holds none of its bytes.
    AppendToOutputDraft(&prepared->draft, prepared->output.data.get(), prepared->output.length);
    prepared->output = EncodedFile();
  }
  return status;
}

// Decodes the read source and encodes it: a JPEG that stays a JPEG a row at a
// time, from our decoder straight into the writer, never the whole image;
// everything else whole. False with *reason (perhaps empty) when the decode
// fails.
bool DecodeAndEncode(int quality, PreparedImage* prepared, const MemoryAsk& ask,
                     EncodeStatus* status, std::string* reason) {
  CompressResult* result = &prepared->result;
  if (DecodesAsJpegRows(prepared->source)) {
    // The file's bytes go with the rows, which may still read them.
    SourceRows rows = DecodeSourceRows(&prepared->source, &result->width, &result->height,
                                       &result->channels, reason, ask);
    prepared->source = SourceImage();
    if (!rows.rows) return false;
    *status = EncodeRows(rows.rows.get(), quality, prepared);
    // A row that could not be decoded fails the file as the whole decode would.
    if (const char* why = JpegRowsFailure(rows.rows.get())) {
      *reason = why;
      return false;
    }
    return true;
  }
  // The header may lie past the head the file was booked by.
  if (ask && !ask(MemoryOfFile(*prepared))) {
    *reason = kOutOfMemoryText;
    return false;
  }
  DecodedPixels pixels = DecodeSourceImage(&prepared->source, &result->width, &result->height,
                                           &result->channels, reason);
  const bool asJpeg = prepared->source.kind == ImageKind::Jpeg;
  prepared->source = SourceImage();
  if (!pixels) return false;
  *status = EncodeOutputFile(asJpeg, pixels.get(), result->width, result->height,
                             result->channels, quality, &prepared->output);
  return true;
}

// A JPEG larger than its head that stays a JPEG, decoded as its file is read
// (never held whole) straight into the writer. False with *again when that
// decode is to be thrown away and the file read whole instead (a scan it
// streamed was not the image's last word, or the file changed meanwhile);
// otherwise as DecodeAndEncode.
bool DecodeAndEncodeAsRead(int quality, PreparedImage* prepared, EncodeStatus* status,
                           std::string* reason, bool* again) {
  CompressResult* result = &prepared->result;
  std::uint64_t inputBytes = 0;
  SourceRows rows = DecodeSourceRowsAsRead(&prepared->source, &result->width, &result->height,
                                           &result->channels, reason, &inputBytes);
  if (rows.rows) *status = EncodeRows(rows.rows.get(), quality, prepared);
  if (!ReadAsItWent(&rows)) {
    prepared->output = EncodedFile();
    prepared->draft = OutputDraft();
    reason->clear();
    *again = true;
    return false;
  }
  prepared->source = SourceImage();
  result->inputBytes = inputBytes;
  if (!rows.rows) return false;
  if (const char* why = JpegRowsFailure(rows.rows.get())) {
    *reason = why;
    return false;
  }
  return true;
}

bool PrepareChecked(int quality, PreparedImage* prepared, const MemoryAsk& ask) {
  CompressResult* result = &prepared->result;
  std::string reason;
  EncodeStatus status = EncodeStatus::Done;
  bool again = !DecodesAsRead(prepared->source);
  bool decoded = false;
  if (!again) {
    // What the file will hold read whole, should it come to that.
    const std::uint64_t whole = MemoryOfFileReadWhole(*prepared);
    decoded = DecodeAndEncodeAsRead(quality, prepared, &status, &reason, &again);
    if (again && ask && !ask(whole)) {
      result->errorText = kOutOfMemoryText;
      return false;
    }
  }
  if (again) {
    FileStamp stamp;
    if (!ReadRestOfSourceImage(&prepared->source, &stamp, &result->errorText, ask)) return false;
    // The input's size is that of the file as read: a file removed or replaced
    // afterwards still reports what was compressed.
    result->inputBytes = stamp.size;
    decoded = DecodeAndEncode(quality, prepared, ask, &status, &reason);
  }
  if (!decoded) {
    result->inputBytes = 0;
    result->errorText = reason.empty() ? "解码失败" : reason;
    return false;
  }
  switch (status) {
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

// What a step that ran out of memory leaves: one failed file, not a failed batch.
void FailOutOfMemory(PreparedImage* prepared) {
  prepared->stage = PreparedStage::Failed;
  prepared->source = SourceImage();
  prepared->output = EncodedFile();
  prepared->draft = OutputDraft();
  prepared->result.errorText = kOutOfMemoryText;
  prepared->memoryShort = true;
}

// A file that failed lets its open handle and the bytes read go at once: a
// batch may hold the record of thousands of failed files.
bool Failed(PreparedImage* prepared) {
  prepared->source = SourceImage();
  prepared->draft = OutputDraft();
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
  const std::uint64_t length =
      prepared->draft.handle != -1 ? prepared->draft.length : prepared->output.length;
  if (!WriteUnderFreeName(outputDir, prepared, result, names)) return false;
  // Exactly the bytes written: a size asked of the name afterwards could be
  // unknown (or another file's, had the name changed hands since).
  result->outputBytes = length;
  return true;
}

}  // namespace

bool ReadInputHead(const fs::path& inputPath, std::uint64_t memoryBudget,
                   PreparedImage* prepared) {
  try {
    return ReadHeadChecked(inputPath, memoryBudget, prepared) || Failed(prepared);
  } catch (const std::bad_alloc&) {
    FailOutOfMemory(prepared);
    return false;
  }
}

bool PrepareReadImage(int quality, PreparedImage* prepared, const MemoryAsk& ask) {
  try {
    if (PrepareChecked(quality, prepared, ask)) return true;
    // Whatever ran short here may have been held by other files.
    prepared->memoryShort = prepared->result.errorText == kOutOfMemoryText;
    return Failed(prepared);
  } catch (const std::bad_alloc&) {
    FailOutOfMemory(prepared);
    return false;
  }
}

bool PrepareImageFile(const fs::path& inputPath, int quality, std::uint64_t memoryBudget,
                      PreparedImage* prepared) {
  return ReadInputHead(inputPath, memoryBudget, prepared) && PrepareReadImage(quality, prepared);
}

std::uint64_t WorkingMemoryOfImage(int width, int height, int channels) {
  if (width <= 0 || height <= 0 || channels <= 0) return 0;
  return 9 * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) *
         static_cast<std::uint64_t>(channels) / 2;
}

std::uint64_t MemoryOfFileReadWhole(const PreparedImage& prepared) {
  const SourceImage& source = prepared.source;
  const ImageHeader& h = source.header;
  std::uint64_t working = DecodesAsJpegRows(source) ? JpegRowsMemory(source) : 0;
  if (working == 0 && source.hasHeader) working = WorkingMemoryOfImage(h.width, h.height, h.channels);
  return source.file.stamp.size + working;
}

std::uint64_t MemoryOfFile(const PreparedImage& prepared) {
  const SourceImage& source = prepared.source;
  if (!DecodesAsRead(source)) return MemoryOfFileReadWhole(prepared);
  // Its window and the first read's two blocks, never its bytes.
  return std::min<std::uint64_t>(source.file.stamp.size, kMemoryOfReadingAsItGoes) +
         JpegRowsMemory(source);
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
  prepared->draft = OutputDraft();
  return written;
}

bool CompressImageFile(const fs::path& inputPath, const fs::path& outputDir, int quality,
                       CompressResult* result) {
  PreparedImage prepared;
  prepared.outputFolder = outputDir;
  PrepareImageFile(inputPath, quality, DefaultMemoryBudget(), &prepared);
  return WritePreparedImage(&prepared, outputDir, result);
}
