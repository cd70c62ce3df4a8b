// cmdline.h - splitting a command line into arguments the Windows way.
//
// Options handed to other programs travel as one command-line string and are
// split by the rules of CommandLineToArgvW, so that a configuration written for
// the original programs reads the same here:
//   - The first token is a program name: it ends at the next space or tab, or,
//     when it opens with a quote, at the next quote, whatever follows it.
//     Backslashes mean nothing in it.
//   - Later arguments are separated by spaces and tabs outside quotes.
//     2n backslashes before a quote give n backslashes and the quote opens or
//     closes a quoted part; 2n+1 give n backslashes and a literal quote;
//     backslashes before anything else stay as written.
//   - Inside a quoted part, a doubled quote ("") gives one literal quote and
//     ends the quoted part.
//   - An empty quoted part ("") is an empty argument.
//   - Empty input gives one argument, the running program's path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::vector<std::wstring> CommandLineToArgvW(std::wstring_view commandLine);

}  // namespace platform
