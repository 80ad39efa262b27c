// Thread-local objects with destructors on Windows, as MinGW-w64 with POSIX threads
// builds them. At a thread's end winpthreads runs the destructors of its keys in the
// order the keys were made. GCC keeps thread-local variables in storage that the key of
// its emulated thread-local storage frees, and libstdc++ runs their destructors from a
// key of its own, made at the first such destructor: when the storage's key is the
// older, the destructors run on freed memory and corrupt the heap (a worker of a batch
// ending with its read buffer and its writer's chunk, fits/pixels.cpp and
// fits/writer.cpp). A destructor registered before any thread-local variable is used
// makes libstdc++'s key the older one.
extern "C" int __cxa_thread_atexit(void (*destructor)(void*), void* object, void* module);

namespace {

void nothing(void*) {}

} // namespace

// Named, so that every program that links the core links this file too (core/CMakeLists.txt).
extern "C" __attribute__((constructor(101))) void kestrelOrderThreadExits()
{
    __cxa_thread_atexit(nothing, nullptr, nullptr);
}
