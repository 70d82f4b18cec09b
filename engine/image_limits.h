#pragma once
// Which image sizes are refused (with "图片尺寸过大", from the header before
// decoding): those the PNG writer can't count in its int sizes, and headers that
// claim more pixels than the file's bytes could carry.
#include <cstddef>
#include <cstdint>

/// Whether the PNG writer can encode width x height pixels of `channels` bytes
/// whatever the pixels are: its deflate stream grows in a buffer whose int
/// capacity goes 2, 5, 11, ... 3*2^k-1 and overflows after 3*2^29-1, and its
/// coder spends at most 9 bits on a byte.
bool PngWriterCanEncode(long long width, long long height, int channels);

/// Whether a file of fileBytes bytes, starting with head, can hold `pixels`
/// pixels: at most four times what the densest file of its format holds per
/// byte (a flat 1-bit PNG, a flat progressive JPEG, ...).
bool PixelCountFitsFile(const unsigned char* head, std::size_t headLength,
                        long long pixels, std::uint64_t fileBytes);

/// Whether a JPEG of width x height can be written: its frame header holds each
/// in 16 bits, so 65535 is the most (a larger one would be a corrupt file).
bool JpegWriterCanEncode(long long width, long long height);
