#include "engine/watch_events.h"

#include "core/failure.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace kestrel {
namespace {

/// inotify: a frame is news when its writer closes it or when it is renamed into the
/// folder; a folder that is removed, moved or unmounted ends its watch; an overflowed
/// queue lost events, so every folder is looked at again. A second descriptor (an
/// eventfd) lets another thread end a wait.
class InotifyEvents final : public FolderEvents {
public:
    explicit InotifyEvents(const std::vector<std::filesystem::path>& folders)
        : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (fd_ < 0 || wake_ < 0)
            throw Failure(std::string("the folders cannot be watched: ") + std::strerror(errno));
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const int wd = ::inotify_add_watch(fd_, folders[i].c_str(),
                                               IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                                   IN_ONLYDIR);
            if (wd < 0)
                throw Failure("cannot watch the folder " + folders[i].string() + ": " + std::strerror(errno));
            folders_[wd] = i;
        }
    }
    ~InotifyEvents() override
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (wake_ >= 0)
            ::close(wake_);
    }
    InotifyEvents(const InotifyEvents&) = delete;
    InotifyEvents& operator=(const InotifyEvents&) = delete;

    std::vector<FolderEvent> wait(std::optional<std::chrono::milliseconds> timeout) override
    {
        std::array<pollfd, 2> fds{{{fd_, POLLIN, 0}, {wake_, POLLIN, 0}}};
        const int ms = timeout ? static_cast<int>(std::max<std::int64_t>(0, timeout->count())) : -1;
        if (::poll(fds.data(), fds.size(), ms) <= 0)
            return {}; // the time ran out, or a signal came: the caller looks again
        if (fds[1].revents) {
            std::uint64_t count;
            [[maybe_unused]] const auto n = ::read(wake_, &count, sizeof count);
        }
        return readEvents();
    }

    void wake() override
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
    }

private:
    std::vector<FolderEvent> readEvents()
    {
        std::vector<FolderEvent> events;
        alignas(inotify_event) std::array<char, 64 * 1024> buffer;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n <= 0)
                return events;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {
                    for (const auto& [wd, folder] : folders_)
                        events.push_back({FolderEvent::Kind::rescan, folder, {}});
                    continue;
                }
                const auto hit = folders_.find(e->wd);
                if (hit == folders_.end())
                    continue;
                if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
                    events.push_back({FolderEvent::Kind::gone, hit->second, {}});
                    if (e->mask & IN_MOVE_SELF)
                        ::inotify_rm_watch(fd_, e->wd);
                    folders_.erase(hit);
                    continue;
                }
                if (e->len && !(e->mask & IN_ISDIR))
                    events.push_back({FolderEvent::Kind::file, hit->second, std::filesystem::path(e->name)});
            }
        }
    }

    int fd_;
    int wake_;
    std::map<int, std::size_t> folders_; // watch descriptor -> folder
};

} // namespace

std::unique_ptr<FolderEvents> systemFolderEvents(const std::vector<std::filesystem::path>& folders)
{
    return std::make_unique<InotifyEvents>(folders);
}

} // namespace kestrel
