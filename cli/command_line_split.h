#pragma once
#include <string>
#include <vector>

/// The arguments after the program's name in a Windows command line, read as
/// CommandLineToArgvW reads them except for a backslash before a quote: a
/// quoted folder ending in a backslash ("My Photos\", as Windows PowerShell 5.1
/// passes a tab-completed folder and as people type one in cmd) keeps its
/// backslash and ends at that quote. The usual reading (\" a literal quote)
/// would give one argument 'My Photos" -o out' instead, a path Windows can
/// never have, and lose the options after it.
std::vector<std::wstring> SplitArgumentsKeepingBackslashes(const std::wstring& commandLine);

/// Whether any of the arguments after the first holds a quote: no path can,
/// and the usual reading leaves one only where a backslash stood before it.
bool HoldsQuote(int count, const wchar_t* const* args);
