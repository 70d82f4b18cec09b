#include "cli/run_command_line.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

#include "cli/console.h"
#include "cli/texts.h"
#include "engine/compress_batch.h"
#include "engine/display_text.h"
#include "engine/file_system.h"
#include "engine/utf8.h"
#include "input/collect.h"
#include "input/folder_list.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  int quality = 80;
  fs::path outputFolder = kDefaultOutputFolder;
  bool recursive = false;
  std::vector<fs::path> inputs;
};

// A path as the report shows it: a name's control characters would otherwise
// reach the terminal raw and could rewrite what it shows.
std::string Shown(const fs::path& path) { return DisplaySafeText(PathToDisplayUtf8(path)); }

// The C library's own reading (leading blanks, sign, the platform's digits), then
// the signed 32-bit range: Linux's long is 64 bits wide.
[[maybe_unused]] long ReadLong(const char* text) { return std::strtol(text, nullptr, 10); }
[[maybe_unused]] long ReadLong(const wchar_t* text) { return std::wcstol(text, nullptr, 10); }

int ReadQuality(const ArgChar* text) {
  long value = ReadLong(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

bool Is(const fs::path::string_type& arg, const char* shortName, const char* longName) {
  return arg == fs::path(shortName).native() || arg == fs::path(longName).native();
}

// Returns -1 when parsing went through, else the exit code to end with.
int ParseArguments(int count, const ArgChar* const* args, Options* options) {
  for (int i = 1; i < count; ++i) {
    const fs::path::string_type arg = args[i];
    if (Is(arg, "-h", "--help")) {
      WriteOut(HelpText());
      return 0;
    } else if (Is(arg, "-q", "--quality")) {
      if (i + 1 >= count) {
        WriteErr(kErrMissingQuality);
        return 2;
      }
      options->quality = ReadQuality(args[++i]);
    } else if (Is(arg, "-o", "--out")) {
      if (i + 1 >= count) {
        WriteErr(kErrMissingOutput);
        return 2;
      }
      options->outputFolder = fs::path(args[++i]);
    } else if (Is(arg, "-r", "--recursive")) {
      options->recursive = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      WriteErr(kErrUnknownOption + Shown(arg) + "\n");
      WriteOut(HelpText());
      return 2;
    } else {
      options->inputs.push_back(fs::path(arg));
    }
  }
  return -1;
}

// One input as typed and as read: what the error line shows, and the path the
// run uses.
struct Input {
  fs::path typed;
  fs::path read;
  bool mustBeFolder = false;  // typed with a trailing separator
};

bool EndsWithSeparator(const fs::path& path) {
  const fs::path::string_type& text = path.native();
  return !text.empty() && (text.back() == '/' || text.back() == fs::path::preferred_separator);
}

// The inputs read as the platform's shell reads typed paths. On Windows
// "*.jpg" reaches the program as typed; its matches are taken as if each had
// been typed. A pattern that matches nothing is a path that isn't there.
std::vector<Input> ReadInputs(const std::vector<fs::path>& inputs, fs::path* unmatched) {
  std::vector<Input> read;
  for (const fs::path& typed : inputs) {
    const fs::path name = typed.filename();
    std::vector<fs::path> matches;
    if (!ExpandWildcards(ReadTypedPath(typed.parent_path()) / name, &matches)) {
      read.push_back({typed, ReadTypedPath(typed), EndsWithSeparator(typed)});
    } else if (matches.empty()) {
      *unmatched = typed;
      return read;
    } else {
      for (const fs::path& match : matches) read.push_back({match, match, false});
    }
  }
  return read;
}

// False (after the error line) when an input path does not exist.
bool ExpandInputs(const Options& options, ImageList* images) {
  fs::path unmatched;
  std::vector<fs::path> unfinished;
  for (const Input& input : ReadInputs(options.inputs, &unmatched)) {
    int systemError = 0;
    PathKind kind = QueryPathKind(input.read, &systemError);
    // "photo.jpg\" names no file: Windows refuses it as Linux does.
    if (input.mustBeFolder && kind != PathKind::Folder) kind = PathKind::Missing;
    if (kind == PathKind::Missing) {
      WriteErr(kErrNoSuchPath + Shown(input.typed) + "\n");
      return false;
    }
    // Anything else that is there, also what can't be examined (a link loop,
    // access denied), gets its line with its reason in its turn.
    if (kind == PathKind::Folder)
      CollectImages(input.read, options.recursive, images, &unfinished);
    else
      images->push_back(input.read);
  }
  if (!unmatched.empty()) {
    WriteErr(kErrNoSuchPath + Shown(unmatched) + "\n");
    return false;
  }
  for (const fs::path& folder : unfinished) WriteErr(kWarnUnfinishedFolder + Shown(folder) + "\n");
  return true;
}

std::string ImageLine(std::size_t i, std::size_t n, const fs::path& image,
                      const CompressResult& r) {
  std::string line = "[" + std::to_string(i) + "/" + std::to_string(n);
  const std::string name = Shown(image.filename());
  if (!r.success) return line + kLineFailure + name + " (" + DisplaySafeText(r.errorText) + ")\n";
  const double p = SavedPercent(r.inputBytes, r.outputBytes);
  return line + kLineSuccess + name + "  " + std::to_string(r.width) + "x" +
         std::to_string(r.height) + " " + ChannelLabel(r.channels) + "  " +
         FormatSize(r.inputBytes) + " -> " + FormatSize(r.outputBytes) + "  " +
         (p >= 0 ? kSaved : kGrew) + " " + FormatFixed(std::fabs(p), 1) + "%\n";
}

std::string Header(std::size_t n, const Options& options) {
  return std::string(kRule) + kHeaderImages + std::to_string(n) + kHeaderImagesUnit +
         kHeaderOutput + Shown(options.outputFolder) + "\n" + kHeaderQuality +
         std::to_string(options.quality) + "\n" + kRule;
}

struct Totals {
  int succeeded = 0;
  int failed = 0;
  std::uint64_t inputBytes = 0;
  std::uint64_t outputBytes = 0;
};

std::string Summary(std::size_t n, const Totals& t) {
  return std::string(kRule) + kSummaryCount + std::to_string(n) + kSummarySucceeded +
         std::to_string(t.succeeded) + kSummaryFailed + std::to_string(t.failed) +
         kSummarySkipped + kSummaryInput + FormatSize(t.inputBytes) + kSummaryOutput +
         FormatSize(t.outputBytes) + kSummarySaved +
         FormatFixed(SavedPercent(t.inputBytes, t.outputBytes), 1) + kSummaryEnd + kRule;
}

// Files are compressed on every usable processor; each line is printed as soon
// as its file and all before it are written, in list order.
Totals CompressAll(const ImageList& images, const fs::path& outputFolder, int quality) {
  Totals totals;
  CompressBatch(images, outputFolder, quality,
                [&](std::size_t i, CompressResult& r) {
                  if (r.success) {
                    ++totals.succeeded;
                    // A size the system would not tell stays out of both totals,
                    // rather than entering them as 16 EB.
                    if (r.inputBytes != SIZE_UNKNOWN && r.outputBytes != SIZE_UNKNOWN) {
                      totals.inputBytes += r.inputBytes;
                      totals.outputBytes += r.outputBytes;
                    }
                  } else {
                    ++totals.failed;
                  }
                  WriteOut(ImageLine(i + 1, images.size(), images[i], r));
                });
  return totals;
}

}  // namespace

int RunCommandLine(int count, const ArgChar* const* args) {
  PrepareConsole();
  Options options;
  if (int code = ParseArguments(count, args, &options); code >= 0) return code;
  if (options.inputs.empty()) {
    WriteOut(HelpText());
    return 2;
  }
  if (static_cast<unsigned>(options.quality) > 100u) {
    WriteErr(kErrQualityRange + std::to_string(options.quality) + kErrQualityRangeEnd);
    return 2;
  }
  ImageList images;
  if (!ExpandInputs(options, &images)) return 2;
  if (images.empty()) {
    WriteErr(kErrNoImages);
    return 2;
  }
  // Made where the shell's own mkdir would make it ("out." is "out"); a
  // device's name is no folder at all.
  const fs::path outputFolder = ReadTypedPath(options.outputFolder);
  std::error_code ec;
  if (NamesADevice(outputFolder) || (!CreateOutputFolder(outputFolder, &ec) && ec)) {
    WriteErr(kErrOutputFolder + Shown(options.outputFolder) + "\n");
    return 2;
  }
  WriteOut(Header(images.size(), options));
  const Totals totals = CompressAll(images, outputFolder, options.quality);
  WriteOut(Summary(images.size(), totals));
  if (ConsoleServesOnlyUs()) {
    WriteOut(kClosingPrompt);
    WaitForKey();
  }
  return totals.failed > 0 ? 1 : 0;
}
