// Standard input, output and error that are open before any file is.
#pragma once

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrel {

/// Makes sure descriptors 0, 1 and 2 are open, before the program opens any file of its
/// own. A program started with one of them closed (`>&-`) would otherwise get it for
/// the first file it opens, and its result lines would be written into an image. A
/// closed one is opened on /dev/null the wrong way round (standard output for reading),
/// so that writing to a closed output still fails, as a closed output should. On
/// Windows (platform_windows.cpp) a handle the program was started with but does not
/// hold is given up, for the same reason.
#if defined(_WIN32)
void ensureStandardDescriptors() noexcept;
#else
inline void ensureStandardDescriptors() noexcept
{
    // Taken in order, a closed one is the lowest free descriptor when it is reopened.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1)
            ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
}
#endif

} // namespace kestrel
