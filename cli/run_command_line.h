#pragma once
#include <filesystem>

/// One argument as the platform gives it: UTF-16 on Windows, bytes on Linux.
using ArgChar = std::filesystem::path::value_type;

/// The command-line batch: parses options and paths (args[0], the program, is
/// ignored), compresses every image in order, writes the UTF-8 report and returns
/// 0 when all succeeded, 1 when some failed, 2 for an argument or path error.
int RunCommandLine(int count, const ArgChar* const* args);
