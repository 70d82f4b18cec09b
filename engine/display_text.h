#pragma once
#include <cstdint>
#include <string>
#include <string_view>

/// Human-readable size in B, KB, MB or GB (binary multiples), ASCII only.
std::string FormatSize(std::uint64_t bytes);

/// Name of a decoded channel count, UTF-8 ("RGB(3通道)"; "未知通道" for others).
const char* ChannelLabel(int channels);

/// The same labels as UTF-16 text for the dialog.
const wchar_t* ChannelLabelW(int channels);

/// Percentage saved, (1 - output / input) * 100 in double precision; 0 for an
/// empty input. Negative when the output grew.
double SavedPercent(std::uint64_t inputBytes, std::uint64_t outputBytes);

/// x with exactly `decimals` digits after the point, halves rounded to even,
/// the same on every platform.
std::string FormatFixed(double x, int decimals);

/// Text (a file name, a path, a reason) made safe to show on a terminal or in the
/// dialog: control characters (C0, DEL, C1) and the bidirectional embedding,
/// override and isolate marks become "?", bytes that are not UTF-8 become U+FFFD.
/// Such characters could move the cursor, erase a line or turn the text round,
/// and so make a failed file look like a success. Other text is kept as it is.
std::string DisplaySafeText(std::string_view utf8);

/// The same for UTF-16 text in the dialog; unpaired surrogates become U+FFFD.
std::wstring DisplaySafeTextW(std::wstring_view text);
