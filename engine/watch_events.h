// The system's news of the watched folders, one implementation per system: inotify on
// Linux (watch_linux.cpp); elsewhere, and for folders whose writers the system cannot
// see (network shares), a look at every folder at a fixed interval (watch.cpp).
#pragma once

#include "engine/watch.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct FolderEvent {
    enum class Kind {
        file,   // `name` was written and closed, or renamed into the folder
        rescan, // events were lost, or it is time to look: every file of the folder
        gone,   // the folder was removed, moved away or unmounted
    };
    Kind kind = Kind::file;
    std::size_t folder = 0;
    std::filesystem::path name;
};

class FolderEvents {
public:
    virtual ~FolderEvents() = default;
    /// Blocks until there is news, `wake` is called, or `timeout` (none: no limit) runs out.
    virtual std::vector<FolderEvent> wait(std::optional<std::chrono::milliseconds> timeout) = 0;
    /// From any thread: the wait in progress, or the next one, returns at once.
    virtual void wake() = 0;
};

/// The system's events for `folders`; nothing where the system has none. Throws a
/// Failure naming a folder that cannot be watched.
std::unique_ptr<FolderEvents> systemFolderEvents(const std::vector<std::filesystem::path>& folders);

/// Looks at every folder each `interval`.
std::unique_ptr<FolderEvents> pollingFolderEvents(const std::vector<std::filesystem::path>& folders,
                                                  std::chrono::milliseconds interval);

} // namespace kestrel
