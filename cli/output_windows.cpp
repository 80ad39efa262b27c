// kestrel-cli's standard output and error on Windows. The bytes go out as they are, no
// CR added before a line end as a text mode would add it: through WriteFile to a file
// or a pipe, and to a console, which would show UTF-8 in its own code page, as UTF-16
// through WriteConsoleW, so that every name shows as it is spelt.
#include "cli/output.h"
#include "cli/output_system.h"

#include "core/platform_windows.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <iostream>
#include <streambuf>
#include <string>
#include <windows.h>

namespace kestrel::cli {
namespace {

bool isConsole(HANDLE h)
{
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0;
}

/// How many of the bytes of `text` make whole UTF-8 characters: a character that a write
/// split waits for the rest of its bytes.
std::size_t wholeCharacters(const std::string& text)
{
    std::size_t start = text.size();
    std::size_t continuation = 0;
    while (start > 0 && continuation < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++continuation;
    }
    if (start == 0)
        return text.size();
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length > continuation + 1 ? start - 1 : text.size();
}

/// Writes UTF-8 text to a console; the bytes of a split character wait in `pending`.
/// NO_ERROR, or the system's reason.
DWORD writeConsole(HANDLE h, const char* data, std::size_t size, std::string& pending)
{
    pending.append(data, size);
    const std::size_t whole = wholeCharacters(pending);
    std::wstring wide;
    if (whole > 0) {
        const int length = MultiByteToWideChar(CP_UTF8, 0, pending.data(), static_cast<int>(whole), nullptr, 0);
        wide.resize(static_cast<std::size_t>(length));
        MultiByteToWideChar(CP_UTF8, 0, pending.data(), static_cast<int>(whole), wide.data(), length);
    }
    pending.erase(0, whole);
    for (std::size_t done = 0; done < wide.size();) {
        DWORD put = 0;
        const DWORD part = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 1u << 14));
        if (!WriteConsoleW(h, wide.data() + done, part, &put, nullptr))
            return GetLastError();
        if (put == 0)
            return ERROR_WRITE_FAULT;
        done += put;
    }
    return NO_ERROR;
}

/// Writes to the standard handle `which`: the number of bytes written, at least one, or
/// 0 with the reason in `error`.
std::ptrdiff_t writeStandard(DWORD which, const char* data, std::size_t size, std::string& pending, DWORD& error)
{
    const HANDLE h = GetStdHandle(which);
    // No handle: a program started with its output closed.
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        error = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (isConsole(h)) {
        error = writeConsole(h, data, size, pending);
        return error == NO_ERROR ? static_cast<std::ptrdiff_t>(size) : 0;
    }
    DWORD put = 0;
    if (!WriteFile(h, data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &put, nullptr))
        error = GetLastError();
    else if (put == 0)
        error = ERROR_WRITE_FAULT;
    return error == NO_ERROR ? static_cast<std::ptrdiff_t>(put) : 0;
}

/// Standard error, unbuffered as std::cerr is; a failure to write there is not reported
/// anywhere.
class ErrorBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* data, std::streamsize size) override
    {
        auto left = static_cast<std::size_t>(size);
        while (left > 0) {
            DWORD error = NO_ERROR;
            const std::ptrdiff_t put = writeStandard(STD_ERROR_HANDLE, data, left, pending_, error);
            if (put <= 0)
                break;
            data += put;
            left -= static_cast<std::size_t>(put);
        }
        return size;
    }

private:
    std::string pending_;
};

std::string& pendingOutput()
{
    static std::string pending;
    return pending;
}

} // namespace

void prepareStandardOutput()
{
    // Whatever still writes through the C library (the progress line) writes bytes too.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The progress line is redrawn with the terminal's escape sequences, which a console
    // follows once asked to.
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error && error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode))
        SetConsoleMode(error, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    // Never destroyed: messages may still be written while the program ends.
    static auto* errorBuffer = new ErrorBuffer;
    std::cerr.rdbuf(errorBuffer);
}

std::ptrdiff_t writeStandardOutput(const char* data, std::size_t size, int& error)
{
    DWORD reason = NO_ERROR;
    const std::ptrdiff_t put = writeStandard(STD_OUTPUT_HANDLE, data, size, pendingOutput(), reason);
    error = static_cast<int>(reason);
    return put;
}

bool outputGone(int error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_INVALID_HANDLE;
}

std::string outputFailureText(int error)
{
    return "Cannot write to standard output: " + windows::reasonFor(static_cast<unsigned long>(error));
}

} // namespace kestrel::cli
