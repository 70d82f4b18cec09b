#pragma once
// The growing output block our writers put their bytes in. It is plain malloc
// memory, so a finished file is handed on as a LibraryBuffer and freed with free.
#include <cstddef>
#include <cstdlib>
#include <memory>

struct ByteBuffer {
  unsigned char* data = nullptr;
  std::size_t length = 0;
  std::size_t capacity = 0;
};

/// Makes room for `more` bytes past the length, doubling the block, but never to
/// more than `most` bytes past the length (more <= most): writers reserve the
/// worst case of a stretch ahead and then store without checks, and a writer
/// that knows the worst case of its whole file grows no further than that.
/// False (the block untouched) when memory can't be had.
inline bool ReserveBytes(ByteBuffer* buffer, std::size_t more,
                         std::size_t most = static_cast<std::size_t>(-1)) {
  if (more <= buffer->capacity - buffer->length) return true;
  std::size_t capacity = buffer->capacity ? buffer->capacity : 4096;
  while (capacity - buffer->length < more) {
    if (capacity > (static_cast<std::size_t>(-1) >> 2)) return false;
    capacity *= 2;
  }
  if (capacity - buffer->length > most) capacity = buffer->length + most;
  void* grown = std::realloc(buffer->data, capacity);
  if (!grown) return false;
  buffer->data = static_cast<unsigned char*>(grown);
  buffer->capacity = capacity;
  return true;
}

/// Gives back the room past the length, so that a finished file waiting to be
/// written holds (and the memory budget books) its bytes and no more. A block
/// that can't be shrunk stays as it was.
inline void ShrinkBytes(ByteBuffer* buffer) {
  if (buffer->length == 0 || buffer->length == buffer->capacity) return;
  if (void* shrunk = std::realloc(buffer->data, buffer->length)) {
    buffer->data = static_cast<unsigned char*>(shrunk);
    buffer->capacity = buffer->length;
  }
}

/// Gives the block back; the buffer is empty afterwards.
inline void ReleaseBytes(ByteBuffer* buffer) {
  std::free(buffer->data);
  *buffer = ByteBuffer{};
}

/// How a writer ended.
enum class WriteStatus { Done, Refused, OutOfMemory };

/// The writers' own working blocks are malloc memory too (so that a failed
/// allocation is a null, not an exception): held by these, freed with free.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Block = std::unique_ptr<T[], FreeDeleter>;
