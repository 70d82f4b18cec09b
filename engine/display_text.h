#pragma once
#include <cstdint>
#include <string>

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
