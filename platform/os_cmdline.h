// Splitting a Windows command line into arguments (the C runtime's rules).
#pragma once
#include <string>
#include <vector>

// The program name ends at the first blank, or is everything between a pair
// of quotes. Arguments are split at blanks and tabs outside quotes; 2n
// backslashes before a quote give n backslashes and the quote toggles quoting,
// 2n+1 give n backslashes and a literal quote; "" inside quotes is a literal
// quote; other backslashes are literal.
std::vector<std::string> os_SplitCommandLine(const char *commandLine);
