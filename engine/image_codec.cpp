// The project's own code around the image library: the decode with its checks.
// Built with every sanitizer check; the library's code is in engine/codecs/stb_library.cpp.
#include "engine/image_codec.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

#include "engine/byte_digest.h"
#include "engine/codecs/jpeg_decoder.h"
#include "engine/image_limits.h"
#include "engine/machine.h"
#include "engine/codecs/jpeg_tables.h"

namespace {

// The library reads a source through these callbacks, as it reads a file: in
// small pieces, forward only (its format probes rewind within the first piece,
// which it keeps). So the blocks it has passed can be let go while it decodes.
struct SourceReader {
  FileBytes* bytes;
  bool release;  // let passed blocks go (the decode), or keep them (the header)
  std::size_t at = 0;
  bool sawEnd = false;  // asked for more than there was: the library met the end
};

int ReadSource(void* user, char* out, int wanted) {
  auto* r = static_cast<SourceReader*>(user);
  const std::size_t n = CopyFileBytes(*r->bytes, r->at, reinterpret_cast<unsigned char*>(out),
                                      static_cast<std::size_t>(wanted));
  if (n < static_cast<std::size_t>(wanted)) r->sawEnd = true;
  r->at += n;
  if (r->release) ReleaseFileBytesBefore(r->bytes, r->at);
  return static_cast<int>(n);
}

void SkipSource(void* user, int n) {
  auto* r = static_cast<SourceReader*>(user);
  if (n > 0 && r->at + static_cast<std::size_t>(n) > r->bytes->size) r->sawEnd = true;
  if (n > 0) r->at = std::min(r->at + static_cast<std::size_t>(n), r->bytes->size);
}

int AtEndOfSource(void* user) {
  auto* r = static_cast<SourceReader*>(user);
  return r->at >= r->bytes->size;
}

constexpr stbi_io_callbacks kSourceCallbacks = {ReadSource, SkipSource, AtEndOfSource};

// Why an image of this size is refused, or null. The BMP and GIF decoders take
// a width or height of 0 and return an empty image, which no writer can encode
// (the PNG writer even reads a first pixel of each empty row); the texts are the
// library's for other nonsense in such headers. A top-down BMP's header gives a
// negative height, which the decoder turns round: its size is the magnitude. A
// header of a few bytes can ask for gigabytes, which the library allocates and
// fills (a JPEG decodes to full size even without image data): more pixels than
// the file's bytes could carry are refused. So is an output larger than its
// writer can describe: a PNG the writer can't count, a JPEG wider or taller than
// its 16-bit size fields.
const char* SizeRefusal(const SourceImage& source, std::uint64_t fileBytes,
                        const unsigned char* head, std::size_t headLength, int width, int height,
                        int channels) {
  if (width == 0 || height == 0) return headLength && head[0] == 'G' ? "Corrupt GIF" : "bad BMP";
  const long long w = std::llabs(static_cast<long long>(width));
  const long long h = std::llabs(static_cast<long long>(height));
  if (!PixelCountFitsFile(head, headLength, w * h, fileBytes)) return kTooLargeText;
  const bool jpegOutput = source.kind == ImageKind::Jpeg;
  if (jpegOutput ? !JpegWriterCanEncode(w, h) : !PngWriterCanEncode(w, h, channels))
    return kTooLargeText;
  return nullptr;
}

}  // namespace

// A JPEG goes to our own decoder, which gives the library's result faster. It
// reads the file whole: one block as it is, more gathered into one (and the
// blocks let go, so the file is still held once). The pages the decoder has
// passed are let go as it goes, and the rest once it has read its last marker,
// before (or, streaming, while) the pixels are made.
struct JpegInput {
  explicit JpegInput(FileBytes* b) : bytes(b) { Gather(); }
  // Takes the bytes over, to be held as long as a decode a row at a time reads them.
  explicit JpegInput(FileBytes&& b) : bytes(&owned), owned(std::move(b)) { Gather(); }
  void Gather() {
    if (bytes->blocks.size() > 1) {
      void* pages = AllocatePages(bytes->size);
      if (!pages) throw std::bad_alloc();
      gathered = FileBlock{std::unique_ptr<unsigned char, BlockFree>(
                               static_cast<unsigned char*>(pages), BlockFree{bytes->size}),
                           bytes->size};
      // A block at a time, each let go once copied: the file is held about once,
      // not twice, while it is gathered.
      for (std::size_t at = 0; at < bytes->size; at += kFileBlockBytes) {
        CopyFileBytes(*bytes, at, gathered.data.get() + at, kFileBlockBytes);
        ReleaseFileBytesBefore(bytes, at + kFileBlockBytes);
      }
    }
  }
  unsigned char* Data() const {
    return gathered.data ? gathered.data.get()
           : bytes->blocks.empty() ? nullptr : bytes->blocks[0].data.get();
  }
  void LetGo() { ReleaseFileBytesBefore(bytes, bytes->blocks.size() * kFileBlockBytes); }
  JpegInputUse Use() {
    return JpegInputUse{
        // Once the decoder reads no more: neither the blocks nor the gathered copy.
        [this] {
          LetGo();
          gathered = FileBlock();
        },
        [this](std::size_t at) {
          const std::size_t upTo = at / kDiscardUnit * kDiscardUnit;
          if (upTo <= discarded || !Data()) return;
          DiscardPages(Data() + discarded, upTo - discarded);
          discarded = upTo;
        }};
  }
  FileBytes* bytes;
  FileBytes owned;
  FileBlock gathered;
  std::size_t discarded = 0;  // bytes at the start whose pages are let go
};

// Up to n bytes of the file from position at, fewer only where it ends now;
// *error on a read error.
std::size_t ReadFileAt(const OpenedFile& file, std::size_t at, unsigned char* out, std::size_t n,
                       bool* error) {
  std::size_t got = 0;
  while (got < n) {
    const long long r = ReadOpenedFileAt(file, at + got, out + got, n - got);
    if (r < 0) *error = true;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

// A JPEG decoded as it is read (DecodeSourceRowsAsRead): its file is read
// twice, in order, never held whole. The first read walks its markers for the
// checks made before any decode and counts its bytes; the second feeds the
// decoder. Both take a digest, so that the decode is known to be of the bytes
// the checks saw: a file changed between them is decoded again, read whole.
struct JpegReadAsItGoes {
  OpenedFile* file = nullptr;
  std::size_t size = 0;  // the bytes the first read counted
  std::uint64_t firstDigest = 0;
  ByteDigest digest;
  std::size_t next = 0;  // where the second read stands
  bool failed = false;   // it came short, failed, or was asked out of order

  std::size_t Read(std::size_t at, unsigned char* out, std::size_t n) {
    if (at != next) failed = true;
    const std::size_t got = ReadFileAt(*file, at, out, n, &failed);
    if (got < n) failed = true;
    digest.Add(out, got);
    next = at + got;
    return got;
  }

  // The rest of the file, to its counted end, into the digest; then whether
  // the second read saw what the first did.
  bool SawWhatTheChecksSaw() {
    unsigned char scratch[64 << 10];
    while (!failed && next < size) Read(next, scratch, std::min(sizeof scratch, size - next));
    return !failed && next == size && digest.Value() == firstDigest;
  }
};

void JpegReadAsItGoesFree::operator()(JpegReadAsItGoes* reading) const { delete reading; }

void JpegInputFree::operator()(JpegInput* input) const { delete input; }

namespace {

unsigned char* DecodeJpegSource(SourceImage* source, int* width, int* height, int* channels,
                                std::string* reason) {
  JpegInput input(&source->bytes);
  const char* why = nullptr;
  unsigned char* pixels = DecodeJpegImage(input.Data(), source->bytes.size, width, height,
                                          channels, &why, input.Use());
  if (!pixels) *reason = why;
  return pixels;
}

bool StartsAsJpeg(const FileBytes& bytes) {
  unsigned char head[2] = {};
  return CopyFileBytes(bytes, 0, head, 2) == 2 && LooksLikeJpeg(head, 2);
}

// What a decode a row at a time of the JPEG at data holds besides its bytes,
// by its headers (0 when they don't get to the frame header). A progressive
// image holds its coefficients: a byte a sample, and a second for the blocks
// that need it (booked as if a third of them did: in photos fewer than one in
// ten do). A baseline one holds its planes, or, decoded as its rows are asked
// for, two rows of MCUs. Either way the output grows beside it, booked at a
// quarter byte a sample (a photo at quality 80 takes well under one bit a
// sample; the booking shrinks to the output's size once it is written).
std::uint64_t RowsMemoryOf(const JpegFrame& frame) {
  const std::uint64_t decoding = frame.progressive ? frame.planeBytes * 3 / 2
                                 : frame.streams   ? frame.ringBytes
                                                   : frame.planeBytes;
  return decoding + frame.planeBytes / 4;
}

std::uint64_t JpegRowsMemoryOf(const unsigned char* data, std::size_t size) {
  JpegFrame frame;
  return data && ReadJpegFrame(data, size, &frame) ? RowsMemoryOf(frame) : 0;
}

// What a JPEG's head shows of its decode a row at a time (its frame), read once
// for the bookings and for the choice of reading it as it is decoded.
void ReadJpegHead(SourceImage* source) {
  source->jpegRowsMemory = 0;
  source->jpegWithoutPlanes = false;
  if (!DecodesAsJpegRows(*source)) return;
  const FileBlock& first = source->bytes.blocks.front();
  JpegFrame frame;
  if (!ReadJpegFrame(first.data.get(), first.length, &frame)) return;
  source->jpegRowsMemory = RowsMemoryOf(frame);
  source->jpegWithoutPlanes = frame.progressive || frame.streams;
}

// Tables, scans and header of what is held of the source; the reader tells
// whether the header's parse met the end of it.
void Parse(SourceImage* source, SourceReader* reader) {
  // This library version overruns its Huffman tables on a DHT segment with more
  // than 256 codes, and its header parser already builds them: such a file is
  // corrupt, and is refused before the library sees it.
  FileBytes& bytes = source->bytes;
  std::vector<const unsigned char*> blocks;
  for (const FileBlock& block : bytes.blocks) blocks.push_back(block.data.get());
  source->tablesFit = JpegHuffmanTablesFitInBlocks(blocks.data(), kFileBlockBytes, bytes.size);
  source->scansWithinBound =
      JpegScanCountWithinBoundInBlocks(blocks.data(), kFileBlockBytes, bytes.size);
  ImageHeader& h = source->header;
  source->hasHeader = source->tablesFit &&
                      stbi_info_from_callbacks(&kSourceCallbacks, reader, &h.width, &h.height,
                                               &h.channels) != 0;
  ReadJpegHead(source);
}

// The library's decode of the head alone, when it fails without ever looking
// past the head: the decode of the whole file fails there too, with that text.
bool HeadDecodeFails(SourceImage* source, std::string* reason) {
  SourceReader reader{&source->bytes, false};
  int width = 0, height = 0, channels = 0;
  ClearDecoderFailure();
  DecodedPixels pixels(
      stbi_load_from_callbacks(&kSourceCallbacks, &reader, &width, &height, &channels, 0));
  if (pixels || reader.sawEnd) return false;
  const char* why = stbi_failure_reason();
  *reason = why ? why : DecoderAllocationFailed() ? kOutOfMemoryText : "解码失败";
  return true;
}

}  // namespace

bool RefuseFromHead(SourceImage* source, std::uint64_t fileBytes, std::string* reason) {
  // The checks see the head as all there is: tables, scans and a header found in
  // it are those of the whole file.
  SourceReader reader{&source->bytes, false};
  Parse(source, &reader);
  if (!source->tablesFit) {
    *reason = "Corrupt JPEG";
    return true;
  }
  if (!source->scansWithinBound) {
    *reason = kTooManyScansText;
    return true;
  }
  if (reader.sawEnd) return false;  // the header may lie past the head
  // No header the library takes, though it was all there: the content is no
  // image it knows, or one it refuses from its header.
  // (A JPEG's reason is our decoder's, which reads no file in part: it is
  // read whole.)
  if (!source->hasHeader) return !StartsAsJpeg(source->bytes) && HeadDecodeFails(source, reason);
  const FileBlock& first = source->bytes.blocks.front();
  const ImageHeader& h = source->header;
  const char* refusal =
      SizeRefusal(*source, fileBytes, first.data.get(), first.length, h.width, h.height, h.channels);
  if (refusal) *reason = refusal;
  return refusal != nullptr;
}

void ParseSourceImage(SourceImage* source) {
  SourceReader reader{&source->bytes, false};
  Parse(source, &reader);
}

namespace {

// Whether the source is refused before it is decoded (*reason then says why);
// head (4 bytes) gets its first bytes, which tell the format's density, kept
// apart as the decode lets the blocks go.
bool RefusedBeforeDecoding(const SourceImage& source, unsigned char* head,
                           std::size_t* headLength, std::string* reason,
                           std::size_t fileBytes = SIZE_MAX) {
  *headLength = CopyFileBytes(source.bytes, 0, head, 4);
  if (fileBytes == SIZE_MAX) fileBytes = source.bytes.size;
  const ImageHeader& h = source.header;
  const char* refusal =
      !source.tablesFit          ? "Corrupt JPEG"
      : !source.scansWithinBound ? kTooManyScansText
      : source.hasHeader ? SizeRefusal(source, fileBytes, head, *headLength, h.width,
                                       h.height, h.channels)
                         : nullptr;
  if (refusal) *reason = refusal;
  return refusal != nullptr;
}

}  // namespace

DecodedPixels DecodeSourceImage(SourceImage* source, int* width, int* height, int* channels,
                                std::string* reason) {
  unsigned char head[4] = {};
  std::size_t headLength = 0;
  if (RefusedBeforeDecoding(*source, head, &headLength, reason)) return nullptr;
  const char* refusal = nullptr;
  DecodedPixels pixels;
  const bool jpeg = StartsAsJpeg(source->bytes);
  if (jpeg) {
    pixels.reset(DecodeJpegSource(source, width, height, channels, reason));
  } else {
    SourceReader reader{&source->bytes, true};
    ClearDecoderFailure();
    pixels.reset(stbi_load_from_callbacks(&kSourceCallbacks, &reader, width, height, channels, 0));
  }
  if (!pixels && jpeg) {
    // our decoder has given its reason
  } else if (!pixels) {
    const char* why = stbi_failure_reason();
    *reason = why ? why : DecoderAllocationFailed() ? "Out of memory" : "";
  } else if ((refusal = SizeRefusal(*source, source->bytes.size, head, headLength, *width, *height,
                                      *channels))) {
    // The header's channel count can be one short: a PNG's tRNS chunk adds alpha.
    pixels.reset();
    *reason = refusal;
  }
  return pixels;
}

bool DecodesAsJpegRows(const SourceImage& source) {
  return source.kind == ImageKind::Jpeg && StartsAsJpeg(source.bytes);
}

SourceRows DecodeSourceRows(SourceImage* source, int* width, int* height, int* channels,
                            std::string* reason, const MemoryAsk& ask) {
  SourceRows result;
  unsigned char head[4] = {};
  std::size_t headLength = 0;
  if (RefusedBeforeDecoding(*source, head, &headLength, reason)) return result;
  const std::size_t fileBytes = source->bytes.size;
  result.input.reset(new JpegInput(std::move(source->bytes)));
  source->bytes = FileBytes();
  // The booking was made from the file's head; the whole file can show more
  // (a frame header or a second scan past the head).
  if (ask && !ask(fileBytes + JpegRowsMemoryOf(result.input->Data(), fileBytes))) {
    *reason = kOutOfMemoryText;
    return result;
  }
  const char* refusal = nullptr;
  const char* why = nullptr;
  result.rows = StartJpegRows(result.input->Data(), fileBytes, width, height, channels, &why,
                              result.input->Use());
  if (!result.rows) {
    *reason = why;
  } else if ((refusal = SizeRefusal(*source, fileBytes, head, headLength, *width, *height,
                                    *channels))) {
    result.rows.reset();
    *reason = refusal;
  }
  return result;
}

std::uint64_t JpegRowsMemory(const SourceImage& source) { return source.jpegRowsMemory; }

bool DecodesAsRead(const SourceImage& source) {
  return source.file.handle != -1 && source.hasHeader && source.jpegWithoutPlanes;
}

namespace {

// The file read once in order for the checks made before a decode (the
// Huffman tables, the count of scans), a block at a time, two held; counted
// and digested to its end. False on a read error.
bool CheckWhileCounting(JpegReadAsItGoes* reading, SourceImage* source) {
  constexpr std::size_t kBlock = 256 << 10;
  const std::size_t expected = static_cast<std::size_t>(source->file.stamp.size);
  std::unique_ptr<unsigned char[]> blocks[2] = {std::unique_ptr<unsigned char[]>(new unsigned char[kBlock]),
                                                std::unique_ptr<unsigned char[]>(new unsigned char[kBlock])};
  std::size_t held[2] = {SIZE_MAX, SIZE_MAX};
  std::size_t count = 0, readBlocks = 0;
  bool error = false, cut = false;
  auto readNext = [&] {
    const std::size_t index = readBlocks++;
    unsigned char* into = blocks[index & 1].get();
    const std::size_t want = std::min(kBlock, expected - std::min(expected, index * kBlock));
    const std::size_t got = ReadFileAt(source->file, index * kBlock, into, want, &error);
    if (got < want) cut = true;  // the file is shorter now than when it was opened
    std::memset(into + got, 0, kBlock - got);
    reading->digest.Add(into, got);
    count += got;
    held[index & 1] = index;
  };
  const JpegBlockSource block = [&](std::size_t index) -> const unsigned char* {
    while (readBlocks <= index && !cut) readNext();
    if (held[index & 1] != index) {  // behind what is held, or past a cut
      cut = true;
      std::memset(blocks[0].get(), 0, kBlock);
      return blocks[0].get();
    }
    return blocks[index & 1].get();
  };
  const JpegChecks checks = CheckJpegBlocks(block, kBlock, expected);
  source->tablesFit = checks.tablesFit;
  source->scansWithinBound = checks.scansWithinBound;
  while (!cut && !error && readBlocks * kBlock < expected) readNext();
  // A file cut since it was opened is decoded from the bytes it still has,
  // read whole: the checks here saw zeros for the rest.
  reading->size = count;
  reading->failed = cut;
  reading->firstDigest = reading->digest.Value();
  reading->digest = ByteDigest();
  return !error;
}

}  // namespace

SourceRows DecodeSourceRowsAsRead(SourceImage* source, int* width, int* height, int* channels,
                                  std::string* reason, std::uint64_t* inputBytes) {
  SourceRows result;
  result.reading.reset(new JpegReadAsItGoes());
  JpegReadAsItGoes* reading = result.reading.get();
  reading->file = &source->file;
  if (!CheckWhileCounting(reading, source)) {
    *reason = "Unable to open file";
    result.reading.reset();
    return result;
  }
  if (reading->failed) {
    // Read whole instead, from its start: the head may be of another version.
    source->bytes = FileBytes();
    return result;
  }
  *inputBytes = reading->size;
  unsigned char head[4] = {};
  std::size_t headLength = 0;
  if (RefusedBeforeDecoding(*source, head, &headLength, reason, reading->size)) return result;
  // What the head told is all the decode needs of it.
  source->bytes = FileBytes();
  const char* why = nullptr;
  result.rows = StartJpegRowsAsRead(
      [reading](std::size_t at, unsigned char* out, std::size_t n) {
        return reading->Read(at, out, n);
      },
      reading->size, width, height, channels, &why);
  const char* refusal = nullptr;
  if (!result.rows) {
    *reason = why;
  } else if ((refusal = SizeRefusal(*source, reading->size, head, headLength, *width, *height,
                                    *channels))) {
    result.rows.reset();
    *reason = refusal;
  }
  return result;
}

bool ReadAsItWent(SourceRows* rows) {
  JpegReadAsItGoes* reading = rows->reading.get();
  if (!reading) return true;
  if (reading->failed || (rows->rows && JpegRowsWantWholeInput(rows->rows.get()))) return false;
  // Both reads agree, and no write into the file since it was opened (its
  // head was read then) has gone unseen.
  FileStamp now;
  return reading->SawWhatTheChecksSaw() && QueryOpenedFileStamp(*reading->file, &now) &&
         now == reading->file->stamp;
}
