# Cross-builds torquelin.exe for 64-bit Windows with mingw-w64 (Debian:
# g++-mingw-w64-x86-64-posix, mingw-w64-tools).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
