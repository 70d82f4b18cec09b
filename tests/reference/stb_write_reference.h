#pragma once
// The reference our writers are held to, byte for byte: stb_image_write, built in
// tests/reference/stb_write_reference.cpp and linked by the tests, the fuzz
// targets and the benchmarks that compare with it - never by the program.
#include <stb_image_write.h>

// The library defines this in its implementation but does not declare it.
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes,
                                                int x, int y, int n, int* out_len);
