#pragma once
// The zlib stream's data of our PNG writer: one block of fixed Huffman codes
// found by the reference's match search (its hash chains, its lazy step), or
// stored blocks where that block would come out longer, as the reference does.
#include <cstddef>
#include <cstdint>

#include "engine/codecs/byte_buffer.h"

/// The bytes n bytes take in stored blocks, their headers included.
inline std::size_t StoredDeflateBytes(std::size_t n) { return n + ((n + 32766) / 32767) * 5; }

/// Appends the deflate stream of data[0..n) at `level` (below 5 counts as 5)
/// to out, the zlib header already in it. out grows no further than fileEnd
/// bytes in all. False when memory can't be had (out's bytes past its length
/// then undefined).
bool AppendDeflated(const unsigned char* data, int n, int level, ByteBuffer* out,
                    std::size_t fileEnd);
