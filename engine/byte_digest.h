#pragma once
// A 64-bit digest of bytes taken in pieces of any size: the same bytes give
// the same value however they are cut. It tells whether two reads of a file
// saw the same content. Not for adversaries: whoever writes the file could make
// two contents agree, and would only get the decode of one of them.
#include <cstddef>
#include <cstdint>
#include <cstring>

struct ByteDigest {
  std::uint64_t lanes[4] = {0x9E3779B185EBCA87u, 0xC2B2AE3D27D4EB4Fu, 0x165667B19E3779F9u,
                            0x85EBCA77C2B2AE63u};
  unsigned char tail[32] = {};
  std::size_t tailLength = 0;
  std::uint64_t total = 0;

  void Add(const unsigned char* p, std::size_t n) {
    total += n;
    if (tailLength) {
      const std::size_t take = n < 32 - tailLength ? n : 32 - tailLength;
      std::memcpy(tail + tailLength, p, take);
      tailLength += take;
      p += take;
      n -= take;
      if (tailLength < 32) return;
      Stripe(tail);
      tailLength = 0;
    }
    for (; n >= 32; p += 32, n -= 32) Stripe(p);
    std::memcpy(tail, p, n);
    tailLength = n;
  }

  std::uint64_t Value() const {
    std::uint64_t h = total;
    for (std::uint64_t lane : lanes) h = Mix(h ^ lane);
    for (std::size_t i = 0; i < tailLength; ++i) h = Mix(h ^ tail[i]);
    return h;
  }

 private:
  static std::uint64_t Mix(std::uint64_t x) {
    x = (x ^ (x >> 31)) * 0x9E3779B97F4A7C15u;
    return x ^ (x >> 29);
  }
  void Stripe(const unsigned char* p) {
    for (int i = 0; i < 4; ++i) {
      std::uint64_t w;
      std::memcpy(&w, p + 8 * i, 8);
      const std::uint64_t x = lanes[i] + w * 0xC2B2AE3D27D4EB4Fu;
      lanes[i] = ((x << 31) | (x >> 33)) * 0x9E3779B185EBCA87u;
    }
  }
};
