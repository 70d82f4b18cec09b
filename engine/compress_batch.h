#pragma once
// A whole batch compressed on every processor the process may use, with exactly
// the outputs, names, records and order that a loop of CompressImageFile gives.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "engine/compress_result.h"

/// Receives each file's finished record (success set) in list order, on the thread
/// that called CompressBatch, as soon as that file and all before it are written.
/// It may move from the record.
using FileDoneFunc = std::function<void(std::size_t index, CompressResult& result)>;

/// How a batch is run; zero means the default.
struct BatchSettings {
  unsigned workers = 0;            // default: UsableProcessorCount()
  std::uint64_t memoryBudget = 0;  // default: DefaultMemoryBudget()
};

/// What a run did, for those who want to know (the tests do).
struct BatchStats {
  unsigned workers = 0;           // threads that prepared files; 0 when the caller's thread did all
  std::size_t mostInFlight = 0;   // most files admitted and not yet written at one time
  bool wentAlone = false;         // memory ran short among others: the rest went one at a time
};

/// Compresses files into outputDir (which must exist) at quality. Files are read,
/// decoded and encoded on a pool of worker threads (one per usable processor, at
/// most one per file), at most a few files ahead of the writing and, while more
/// than one is in flight, within the memory budget by their headers; a file larger
/// than the budget runs alone. A file that ran out of memory while others were in
/// flight is prepared again alone before its record is handed on, so the records
/// do not depend on how many processors there are. Every file is then written on the calling thread,
/// strictly in list order, and handed to done. Never throws of its own.
void CompressBatch(const std::vector<std::filesystem::path>& files,
                   const std::filesystem::path& outputDir, int quality, const FileDoneFunc& done,
                   const BatchSettings& settings = {}, BatchStats* stats = nullptr);
