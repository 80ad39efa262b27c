# Cross-building kestrel-cli for 64-bit Windows on Debian with MinGW-w64:
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# (packages g++-mingw-w64-x86-64-posix and mingw-w64-tools; wine to run the tests).
# The compilers of the posix thread model, which std::thread and std::mutex need. The
# GCC runtime, libstdc++ and winpthread are linked statically, so the .exe runs on its
# own with nothing but the DLLs every Windows has. The tests run under Wine
# (tools/wine-run), which ctest starts as the emulator of every test program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kestrel_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kestrel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kestrel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kestrel_mingw}-windres)

# Libraries and headers of the target only; programs (python3, groff) of the build
# machine.
set(CMAKE_FIND_ROOT_PATH /usr/${kestrel_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# GCC does not align Windows stacks to 32 bytes, yet may spill an AVX2 register there
# with an aligned move, which faults (GCC bug 54412); the AVX2 window sums would be at
# its mercy. The assembler makes every such move an unaligned one, which costs nothing
# on the processors that have AVX2.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
