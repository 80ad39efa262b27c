// kestrel-cli's entry on Windows: the arguments in the system's own UTF-16, whatever
// the console's code page, turned into the UTF-8 that the rest of the program reads
// (built with -municode).
#include "cli/entry.h"
#include "cli/options.h"

#include <windows.h>

#include <iostream>

// Neither cmd nor PowerShell expands D:\Night\*.fits for a program, as a Linux shell
// does: the C runtime does it before wmain (names never hold * or ?), and passes a
// pattern that matches no file as it was typed.
extern "C" {
int _dowildcard = -1;
}

namespace {

std::string utf8(const wchar_t* text)
{
    const int length = static_cast<int>(wcslen(text));
    if (length == 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(utf8(argv[i]));
    // A pattern that matched nothing reaches the program as typed; it would fail as an
    // "Invalid name" of the system. The other files are still corrected.
    std::string messages;
    const bool unmatched = kestrel::cli::dropUnmatchedPatterns(arguments, messages);
    std::cerr << messages << std::flush;
    const int status = kestrel::cli::runCommandLine(arguments);
    return unmatched && status == 0 ? 1 : status;
}
