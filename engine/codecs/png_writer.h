#pragma once
// Our PNG writer. Its file is byte for byte the one stb_image_write's PNG writer
// makes of the same pixels at the same deflate level (that library stays the
// reference the tests hold it to); it is only made faster.
#include "engine/codecs/byte_buffer.h"

/// Appends the PNG file of the pixels to out: 1 (grey), 2 (grey + alpha), 3 (RGB)
/// or 4 (RGBA) bytes a pixel, rows top down, each row's filter chosen by the
/// smallest sum of magnitudes, deflated at `level` (below 5 counts as 5).
/// Refused, with nothing appended, for no pixels, a zero size or another channel
/// count; out of memory leaves out as it was.
WriteStatus WritePng(const unsigned char* pixels, int width, int height, int channels, int level,
                     ByteBuffer* out);
