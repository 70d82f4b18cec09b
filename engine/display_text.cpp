#include "engine/display_text.h"

#include <charconv>

std::string FormatFixed(double x, int decimals) {
  // to_chars rounds the exact binary value, halves to even, and is the same on
  // every platform; the C runtimes' printf families differ on Windows.
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x,
                                 std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

double SavedPercent(std::uint64_t inputBytes, std::uint64_t outputBytes) {
  if (inputBytes == 0) return 0.0;
  return (1.0 - static_cast<double>(outputBytes) / static_cast<double>(inputBytes)) * 100.0;
}

std::string FormatSize(std::uint64_t bytes) {
  constexpr std::uint64_t kKB = 1024, kMB = kKB * 1024, kGB = kMB * 1024;
  const double value = static_cast<double>(bytes);
  if (bytes >= kGB) return FormatFixed(value / kGB, 2) + " GB";
  if (bytes >= kMB) return FormatFixed(value / kMB, 2) + " MB";
  if (bytes >= kKB) return FormatFixed(value / kKB, 1) + " KB";
  return std::to_string(bytes) + " B";
}

const char* ChannelLabel(int channels) {
  switch (channels) {
    case 1: return "灰度(1通道)";
    case 2: return "灰度+Alpha(2通道)";
    case 3: return "RGB(3通道)";
    case 4: return "RGBA(4通道)";
    default: return "未知通道";
  }
}

const wchar_t* ChannelLabelW(int channels) {
  switch (channels) {
    case 1: return L"灰度(1通道)";
    case 2: return L"灰度+Alpha(2通道)";
    case 3: return L"RGB(3通道)";
    case 4: return L"RGBA(4通道)";
    default: return L"未知通道";
  }
}
