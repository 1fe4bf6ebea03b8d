# Cross-builds torquelin.exe for 32-bit Windows with mingw-w64 (Debian:
# g++-mingw-w64-i686-posix, mingw-w64-tools).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Numbers are converted to doubles by one exactly rounded operation; the
# x87 unit would keep extended precision and round twice, printing a
# number differently from every other build.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
