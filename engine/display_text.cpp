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

namespace {

bool MustBeHidden(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// Length of the well-formed UTF-8 sequence at text[i] (and its code point), or 0.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t* c) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    *c = lead;
    return 1;
  }
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
  char32_t value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *c = value;
  return length;
}

}  // namespace

std::string DisplaySafeText(std::string_view utf8) {
  std::string safe;
  safe.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(utf8, i, &c);
    if (length == 0) {
      safe += "\xEF\xBF\xBD";  // U+FFFD for one byte that is not UTF-8
      ++i;
      continue;
    }
    if (MustBeHidden(c))
      safe += '?';
    else
      safe.append(utf8.substr(i, length));
    i += length;
  }
  return safe;
}

std::wstring DisplaySafeTextW(std::wstring_view text) {
  std::wstring safe;
  safe.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = static_cast<char32_t>(text[i]);
    const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      safe += text.substr(i++, 2);  // a whole pair: a character beyond U+FFFF
    } else if (high || low) {
      safe += wchar_t(0xFFFD);
    } else {
      safe += MustBeHidden(c) ? L'?' : text[i];
    }
  }
  return safe;
}
