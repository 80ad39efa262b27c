#include "cli/output.h"
#include "cli/output_system.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace kestrel::cli {

void prepareStandardOutput() { std::signal(SIGPIPE, SIG_IGN); }

std::ptrdiff_t writeStandardOutput(const char* data, std::size_t size, int& error)
{
    for (;;) {
        const ssize_t n = ::write(1, data, size);
        if (n > 0)
            return n;
        if (n < 0 && errno == EINTR)
            continue;
        error = n < 0 ? errno : EIO;
        return 0;
    }
}

bool outputGone(int error) { return error == EPIPE || error == EBADF; }

std::string outputFailureText(int error) { return std::string("Cannot write to standard output: ") + std::strerror(error); }

} // namespace kestrel::cli
