// Makes writes beyond a size fail as on a full disk: the process's file size limit is
// lowered (SIGXFSZ ignored, so write returns EFBIG) for the lifetime of the object.
#pragma once

#include <csignal>
#include <cstdint>

#ifdef _WIN32

namespace kestrel::testing {

// Windows limits no process's file sizes: the tests that need a full disk skip there.
class FileSizeLimit {
public:
    static constexpr bool available = false;
    explicit FileSizeLimit(std::uint64_t) {}
};

} // namespace kestrel::testing

#else

#include <sys/resource.h>

namespace kestrel::testing {

class FileSizeLimit {
public:
    static constexpr bool available = true;
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = old_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

} // namespace kestrel::testing

#endif
