# Cross build for 32-bit Windows (win32), the users' own platform:
#   cmake --toolchain cmake/mingw-w64-i686.cmake -S . -B build/win32 -DPython_EXECUTABLE=python3.7
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
