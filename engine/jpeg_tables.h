#pragma once
#include <cstddef>
#include <cstdio>

/// For JPEG data (starting with the SOI marker, after any 0xFF fill bytes): false
/// when a Huffman table (DHT segment) lists more than 256 codes. The image
/// library's decoder stores such a table past the end of its arrays, so these
/// files must not reach it. Anything that is not JPEG, or whose markers can't be
/// followed, passes: the decoder rejects that itself.
bool JpegHuffmanTablesFit(const unsigned char* data, std::size_t size);

/// The same for data held in equal blocks of blockSize bytes (all but the last
/// full), as a file is read.
bool JpegHuffmanTablesFitInBlocks(const unsigned char* const* blocks, std::size_t blockSize,
                                  std::size_t size);

/// The same for an open file, read from its current position to its end through
/// a small window, so that a large photo is never held in memory twice.
bool JpegHuffmanTablesFitInFile(std::FILE* file);
