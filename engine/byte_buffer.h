#pragma once
// The growing output block our writers put their bytes in. It is plain malloc
// memory, so a finished file is handed on as a LibraryBuffer and freed with free.
#include <cstddef>
#include <cstdlib>

struct ByteBuffer {
  unsigned char* data = nullptr;
  std::size_t length = 0;
  std::size_t capacity = 0;
};

/// Makes room for `more` bytes past the length, doubling the block: writers
/// reserve the worst case of a stretch ahead and then store without checks.
/// False (the block untouched) when memory can't be had.
inline bool ReserveBytes(ByteBuffer* buffer, std::size_t more) {
  if (more <= buffer->capacity - buffer->length) return true;
  std::size_t capacity = buffer->capacity ? buffer->capacity : 4096;
  while (capacity - buffer->length < more) {
    if (capacity > (static_cast<std::size_t>(-1) >> 2)) return false;
    capacity *= 2;
  }
  void* grown = std::realloc(buffer->data, capacity);
  if (!grown) return false;
  buffer->data = static_cast<unsigned char*>(grown);
  buffer->capacity = capacity;
  return true;
}

/// Gives the block back; the buffer is empty afterwards.
inline void ReleaseBytes(ByteBuffer* buffer) {
  std::free(buffer->data);
  *buffer = ByteBuffer{};
}

/// How a writer ended.
enum class WriteStatus { Done, Refused, OutOfMemory };
