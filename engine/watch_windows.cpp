#include "engine/watch_events.h"

#include "core/failure.h"

#include <windows.h>

#include <array>
#include <system_error>

namespace kestrel {
namespace {

std::string systemText(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

/// ReadDirectoryChangesW: a frame is news when its name appears in the folder (created or
/// renamed in) or its writer writes to it; the watch then waits for it to settle and be
/// whole, as it does on Linux. A folder whose changes can no longer be read (removed,
/// a drive taken out) ends its watch; a change list that overflowed lost changes, so the
/// folder is looked at again. A second event lets another thread end a wait.
class DirectoryChangeEvents final : public FolderEvents {
public:
    explicit DirectoryChangeEvents(const std::vector<std::filesystem::path>& folders)
        : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        if (!wake_)
            throw Failure("the folders cannot be watched: " + systemText(GetLastError()));
        watches_.resize(folders.size());
        for (std::size_t i = 0; i < folders.size(); ++i) {
            Watch& w = watches_[i];
            w.folder = folders[i];
            w.handle = CreateFileW(folders[i].c_str(), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
            w.done.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (w.handle == INVALID_HANDLE_VALUE || !w.done.hEvent || !ask(w)) {
                const std::string reason = systemText(GetLastError());
                // No read may stay pending into the buffers about to go.
                closeAll();
                throw Failure("cannot watch the folder " + folders[i].string() + ": " + reason);
            }
        }
    }
    ~DirectoryChangeEvents() override { closeAll(); }
    DirectoryChangeEvents(const DirectoryChangeEvents&) = delete;
    DirectoryChangeEvents& operator=(const DirectoryChangeEvents&) = delete;

    std::vector<FolderEvent> wait(std::optional<std::chrono::milliseconds> timeout) override
    {
        std::vector<HANDLE> handles{wake_};
        for (const Watch& w : watches_)
            if (w.handle != INVALID_HANDLE_VALUE)
                handles.push_back(w.done.hEvent);
        const DWORD ms = timeout ? static_cast<DWORD>(std::max<std::int64_t>(0, timeout->count())) : INFINITE;
        const DWORD got = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, ms);
        if (got == WAIT_TIMEOUT || got == WAIT_FAILED)
            return {}; // the time ran out: the caller looks again
        std::vector<FolderEvent> events;
        // Every folder whose changes came in, not only the first that the wait named.
        for (std::size_t i = 0; i < watches_.size(); ++i)
            if (watches_[i].handle != INVALID_HANDLE_VALUE && WaitForSingleObject(watches_[i].done.hEvent, 0) == 0)
                collect(i, events);
        return events;
    }

    void wake() override { SetEvent(wake_); }

private:
    struct Watch {
        std::filesystem::path folder;
        HANDLE handle = INVALID_HANDLE_VALUE;
        OVERLAPPED done{};
        alignas(DWORD) std::array<char, 64 * 1024> buffer{};
    };

    void closeAll()
    {
        for (Watch& w : watches_)
            close(w);
        if (wake_)
            CloseHandle(wake_);
        wake_ = nullptr;
    }

    static bool ask(Watch& w)
    {
        ResetEvent(w.done.hEvent);
        return ReadDirectoryChangesW(w.handle, w.buffer.data(), static_cast<DWORD>(w.buffer.size()), FALSE,
                                     FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                         FILE_NOTIFY_CHANGE_LAST_WRITE,
                                     nullptr, &w.done, nullptr) != 0;
    }

    static void close(Watch& w)
    {
        if (w.handle != INVALID_HANDLE_VALUE) {
            CancelIoEx(w.handle, &w.done);
            DWORD ignored = 0;
            GetOverlappedResult(w.handle, &w.done, &ignored, TRUE);
            CloseHandle(w.handle);
            w.handle = INVALID_HANDLE_VALUE;
        }
        if (w.done.hEvent) {
            CloseHandle(w.done.hEvent);
            w.done.hEvent = nullptr;
        }
    }

    void collect(std::size_t index, std::vector<FolderEvent>& events)
    {
        Watch& w = watches_[index];
        DWORD bytes = 0;
        if (!GetOverlappedResult(w.handle, &w.done, &bytes, FALSE)) {
            close(w);
            events.push_back({FolderEvent::Kind::gone, index, {}});
            return;
        }
        std::error_code ec;
        if (bytes == 0) {
            // The change list overflowed, or the folder went: which one, the folder says.
            if (!std::filesystem::is_directory(w.folder, ec)) {
                close(w);
                events.push_back({FolderEvent::Kind::gone, index, {}});
                return;
            }
            events.push_back({FolderEvent::Kind::rescan, index, {}});
        }
        for (DWORD at = 0; bytes != 0;) {
            const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(w.buffer.data() + at);
            if (change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_MODIFIED ||
                change->Action == FILE_ACTION_RENAMED_NEW_NAME)
                events.push_back({FolderEvent::Kind::file, index,
                                  std::filesystem::path(std::wstring(change->FileName,
                                                                     change->FileNameLength / sizeof(WCHAR)))});
            if (change->NextEntryOffset == 0)
                break;
            at += change->NextEntryOffset;
        }
        if (!ask(w)) {
            close(w);
            events.push_back({FolderEvent::Kind::gone, index, {}});
        }
    }

    HANDLE wake_;
    std::vector<Watch> watches_;
};

} // namespace

std::unique_ptr<FolderEvents> systemFolderEvents(const std::vector<std::filesystem::path>& folders)
{
    // One wait takes at most MAXIMUM_WAIT_OBJECTS handles, one of them the wake: more
    // folders than that are looked at instead.
    if (folders.size() + 1 > MAXIMUM_WAIT_OBJECTS)
        return nullptr;
    return std::make_unique<DirectoryChangeEvents>(folders);
}

} // namespace kestrel
