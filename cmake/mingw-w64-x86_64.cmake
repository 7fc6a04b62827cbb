# Cross build for 64-bit Windows (win_amd64):
#   cmake --toolchain cmake/mingw-w64-x86_64.cmake -S . -B build/win64 -DPython_EXECUTABLE=python3.13
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
