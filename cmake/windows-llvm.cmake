# What the cross builds for 64-bit Windows with Debian's LLVM share: clang++ on
# the mingw-w64 headers, lld-link with MSVC-style flags, llvm-rc and
# llvm-dlltool. No mingw runtime is linked. Included by the toolchain file of
# each target, which sets CMAKE_SYSTEM_PROCESSOR and CMAKE_CXX_COMPILER_TARGET.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_RC_COMPILER llvm-rc)
set(CMAKE_LINKER lld-link)
set(PACECAP_DLLTOOL llvm-dlltool)

# There is no runtime to link a test program against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Debian packages the mingw-w64 headers for x86-64 only; they serve every
# 64-bit target, as the headers select by the compiler's own macros.
set(PACECAP_MINGW_ROOT /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH ${PACECAP_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)

# Link with lld-link itself: the compiler driver would add runtime libraries.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/lld-link-rules.cmake)
