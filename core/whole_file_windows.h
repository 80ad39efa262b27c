// The Windows calls through which a file of ours is written: the Windows twin of the
// Linux table in core/whole_file.h, which includes this header in its place. Each
// answers as the system's own call does: a handle, or INVALID_HANDLE_VALUE; true, or
// false with the reason in GetLastError(). Tests swap the table to make a call fail, or
// to watch that a call is made and its result heeded.
#pragma once

#include <functional>

namespace kestrel {

struct FileSystemCalls {
    using Handle = void*;        // HANDLE, without <windows.h> in every file that writes
    using Dword = unsigned long; // DWORD

    /// CreateFileW, without security attributes or a template.
    std::function<Handle(const wchar_t* path, Dword access, Dword share, Dword disposition, Dword flags)> createFile;
    std::function<bool(Handle file, const void* data, Dword size, Dword* written)> writeFile;
    std::function<bool(Handle file)> flushFileBuffers;
    /// SetFileInformationByHandle: the temporary file's mark to be deleted, the marks a
    /// replaced file keeps, the results file's length when lines are taken back.
    std::function<bool(Handle file, int infoClass, void* info, Dword size)> setFileInformationByHandle;
    /// Waits for the results file's lock, which every Kestrel appending to it takes.
    std::function<bool(Handle file)> lockFile;
    std::function<bool(Handle file)> closeHandle;
    std::function<bool(const wchar_t* from, const wchar_t* to, Dword flags)> moveFileEx;
};

} // namespace kestrel
