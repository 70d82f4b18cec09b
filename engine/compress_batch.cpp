#include "engine/compress_batch.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "engine/compress.h"
#include "engine/file_system.h"
#include "engine/machine.h"
#include "engine/source_image.h"

namespace fs = std::filesystem;

namespace {

struct Slot {
  PreparedImage prepared;
  std::uint64_t reserved = 0;  // bytes of the budget this file holds until written
  bool admitted = false;  // counted in flight until written
  bool ready = false;
};

// Everything the workers and the writer share, under one mutex.
struct Batch {
  Batch(const std::vector<fs::path>& list, int q, std::uint64_t bytes, std::size_t ahead)
      : files(list), quality(q), budget(bytes), window(ahead), slots(list.size()) {}
  const std::vector<fs::path>& files;
  fs::path outputDir;  // where large outputs are drafted as they are encoded
  int quality;
  std::uint64_t budget;
  std::size_t window;  // how far past the last handed-over file a worker may start
  std::vector<Slot> slots;
  std::mutex mutex;
  std::condition_variable workerWake, writerWake;
  std::size_t nextToTake = 0, nextToAdmit = 0, handed = 0;
  std::size_t inFlight = 0, mostInFlight = 0;
  std::uint64_t bytesInFlight = 0;
  bool stopping = false;
  bool wentAlone = false;
};

// The next file, once it is within the window; false when none is left.
bool TakeNext(Batch& b, std::size_t* index) {
  std::unique_lock<std::mutex> lock(b.mutex);
  b.workerWake.wait(lock, [&] {
    return b.stopping || b.nextToTake >= b.slots.size() || b.nextToTake < b.handed + b.window;
  });
  if (b.stopping || b.nextToTake >= b.slots.size()) return false;
  *index = b.nextToTake++;
  return true;
}

// Files are admitted in list order, so everything in flight comes before the one
// waiting and will be written: the wait always ends.
bool Admit(Batch& b, std::size_t index, std::uint64_t need) {
  std::unique_lock<std::mutex> lock(b.mutex);
  b.workerWake.wait(lock, [&] {
    return b.stopping || (b.nextToAdmit == index &&
                          (b.inFlight == 0 || b.bytesInFlight + need <= b.budget));
  });
  if (b.stopping) return false;
  ++b.nextToAdmit;
  ++b.inFlight;
  b.mostInFlight = std::max(b.mostInFlight, b.inFlight);
  b.bytesInFlight += need;
  b.slots[index].reserved = need;
  b.slots[index].admitted = true;
  b.workerWake.notify_all();
  return true;
}

// From now on the file holds only its encoded bytes.
void MarkPrepared(Batch& b, std::size_t index) {
  std::lock_guard<std::mutex> lock(b.mutex);
  Slot& slot = b.slots[index];
  const std::uint64_t held = slot.prepared.output.length;
  if (held < slot.reserved) {
    b.bytesInFlight -= slot.reserved - held;
    slot.reserved = held;
  }
  slot.ready = true;
  b.writerWake.notify_one();
  b.workerWake.notify_all();
}

// A file read whole may show that it needs more than its head did (a header or
// a second scan past the head): it gets the rest when the budget has room for
// it, or when it is alone in flight; otherwise it runs out of memory, and is
// prepared again alone. It never waits: files admitted after it may hold what
// it would wait for, and they are written after it.
bool BookMore(Batch& b, std::size_t index, std::uint64_t need) {
  std::lock_guard<std::mutex> lock(b.mutex);
  Slot& slot = b.slots[index];
  if (need <= slot.reserved) return true;
  const std::uint64_t more = need - slot.reserved;
  if (b.inFlight > 1 && b.bytesInFlight + more > b.budget) return false;
  b.bytesInFlight += more;
  slot.reserved = need;
  return true;
}

// A file's head is read before it asks for admission: its header tells what
// decoding it will cost, its size what its bytes will, and a file the head
// already refuses costs nothing more. Its bytes are read once it is admitted.
void Work(Batch* b) {
  std::size_t index = 0;
  while (TakeNext(*b, &index)) {
    PreparedImage& prepared = b->slots[index].prepared;
    const bool opened = ReadInputHead(b->files[index], b->budget, &prepared);
    if (!Admit(*b, index, opened ? MemoryOfFile(prepared) : 0)) return;
    prepared.outputFolder = b->outputDir;
    if (opened)
      PrepareReadImage(b->quality, &prepared,
                       [b, index](std::uint64_t need) { return BookMore(*b, index, need); });
    MarkPrepared(*b, index);
  }
}

bool RanOutOfMemory(const PreparedImage& prepared) {
  return prepared.stage == PreparedStage::Failed && prepared.memoryShort;
}

// Stops and joins the workers however the writer leaves, even by an exception
// from the front end's callback.
struct Workers {
  Batch& batch;
  std::vector<std::thread> threads;
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(batch.mutex);
      batch.stopping = true;
    }
    batch.workerWake.notify_all();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
  }
  ~Workers() { Stop(); }
};

// The file's preparation, by a worker or, once they are stopped, here.
PreparedImage& PreparedFile(Batch& b, const Workers& pool, std::size_t index) {
  Slot& slot = b.slots[index];
  if (!pool.threads.empty()) {
    std::unique_lock<std::mutex> lock(b.mutex);
    b.writerWake.wait(lock, [&] { return slot.ready; });
  } else if (!slot.ready) {
    slot.prepared.outputFolder = b.outputDir;
    PrepareImageFile(b.files[index], b.quality, b.budget, &slot.prepared);
    slot.ready = true;
  }
  return slot.prepared;
}

// On one processor a file has the memory to itself: no other file's bytes,
// pixels or output beside it, no other thread's stack or heap. A file that ran
// out of memory among others gets that: the workers finish what they hold and
// end, and everything prepared from this file on is let go, ready or not (a
// worker may have failed a later file for memory too). This file and the rest
// are then prepared here, one at a time, so the records are those of a run on
// one processor.
void GoOnAlone(Batch& b, Workers& pool, std::size_t from) {
  pool.Stop();
  for (std::size_t j = from; j < b.slots.size(); ++j) b.slots[j] = Slot();
}

void WriteInOrder(Batch& b, Workers& pool, const fs::path& outputDir, const FileDoneFunc& done) {
  OutputNameMemory names;
  for (std::size_t i = 0; i < b.slots.size(); ++i) {
    PreparedImage* prepared = &PreparedFile(b, pool, i);
    if (RanOutOfMemory(*prepared) && !pool.threads.empty()) {
      b.wentAlone = true;
      GoOnAlone(b, pool, i);
      prepared = &PreparedFile(b, pool, i);
    }
    CompressResult result;
    result.success = WritePreparedImage(prepared, outputDir, &result, &names);
    if (b.slots[i].admitted) {
      std::lock_guard<std::mutex> lock(b.mutex);
      --b.inFlight;
      b.bytesInFlight -= b.slots[i].reserved;
    }
    b.workerWake.notify_all();
    *prepared = PreparedImage();  // nothing of a handed-over file stays
    done(i, result);
    {
      std::lock_guard<std::mutex> lock(b.mutex);
      b.handed = i + 1;
    }
    b.workerWake.notify_all();
  }
}

void CompressInTurn(const std::vector<fs::path>& files, const fs::path& outputDir, int quality,
                    std::uint64_t budget, const FileDoneFunc& done, BatchStats* stats) {
  if (stats) stats->mostInFlight = files.empty() ? 0 : 1;
  OutputNameMemory names;
  for (std::size_t i = 0; i < files.size(); ++i) {
    CompressResult result;
    PreparedImage prepared;
    prepared.outputFolder = outputDir;
    PrepareImageFile(files[i], quality, budget, &prepared);
    result.success = WritePreparedImage(&prepared, outputDir, &result, &names);
    done(i, result);
  }
}

}  // namespace

namespace {

void CompressAll(const std::vector<fs::path>& files, const fs::path& outputDir, int quality,
                 const FileDoneFunc& done, const BatchSettings& settings, BatchStats* stats);

}  // namespace

void CompressBatch(const std::vector<fs::path>& files, const fs::path& outputDir, int quality,
                   const FileDoneFunc& done, const BatchSettings& settings, BatchStats* stats) {
  CompressAll(files, outputDir, quality, done, settings, stats);
  // A batch that has ended has its outputs' names on the disk too: the front
  // ends print the summary after this.
  if (!files.empty()) FlushFolder(outputDir);
}

namespace {

void CompressAll(const std::vector<fs::path>& files, const fs::path& outputDir, int quality,
                 const FileDoneFunc& done, const BatchSettings& settings, BatchStats* stats) {
  unsigned workers = settings.workers ? settings.workers : UsableProcessorCount();
  workers = static_cast<unsigned>(std::min<std::size_t>(workers, files.size()));
  if (stats) *stats = BatchStats();
  const std::uint64_t budget =
      settings.memoryBudget ? settings.memoryBudget : DefaultMemoryBudget();
  // One processor: the caller's thread does each file in turn, as it always did.
  // So under a limit of the address space: the workers' own stacks and heaps
  // would take room that a file gets on one processor, and the records would
  // depend on the processor count.
  if (workers <= 1 || (!settings.workers && AddressSpaceIsLimited()))
    return CompressInTurn(files, outputDir, quality, budget, done, stats);
  std::unique_ptr<Batch> batch;
  try {
    batch = std::make_unique<Batch>(
        files, quality, budget, 2 * std::size_t{workers});
    batch->outputDir = outputDir;
  } catch (const std::bad_alloc&) {
    return CompressInTurn(files, outputDir, quality, budget, done, stats);
  }
  bool ran = false;
  {
    Workers pool{*batch, {}};
    try {
      for (unsigned k = 0; k < workers; ++k) pool.threads.emplace_back(Work, batch.get());
    } catch (const std::exception&) {
      // Fewer threads than processors still finish the batch; none at all cannot.
    }
    if (!pool.threads.empty()) {
      if (stats) stats->workers = static_cast<unsigned>(pool.threads.size());
      WriteInOrder(*batch, pool, outputDir, done);
      ran = true;
    }
  }
  if (!ran) return CompressInTurn(files, outputDir, quality, budget, done, stats);
  if (stats) {
    stats->mostInFlight = batch->mostInFlight;
    stats->wentAlone = batch->wentAlone;
  }
}

}  // namespace
