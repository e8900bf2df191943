# Cross build for x64 Windows with Debian's LLVM.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-llvm.cmake)
