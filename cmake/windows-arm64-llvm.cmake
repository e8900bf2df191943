# Cross build for ARM64 Windows with Debian's LLVM.
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-llvm.cmake)
# clang looks for the target's own mingw-w64 tree, which Debian does not ship.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${PACECAP_MINGW_ROOT}/include")
