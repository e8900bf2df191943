# Link rules for the cross build: executables and DLLs are linked by
# lld-link alone, with no runtime or default libraries added. (Resources go
# through CMake's own llvm-rc rule: clang preprocesses, llvm-rc compiles to a
# .res that lld-link takes directly.)
set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_LINKER> /nologo <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> /OUT:<TARGET>")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY "<CMAKE_LINKER> /nologo /DLL <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> /OUT:<TARGET> /IMPLIB:<TARGET_IMPLIB>")
