# Rules for the cross build: resources through llvm-rc into a .res that
# lld-link takes directly, executables linked by lld-link alone.
set(CMAKE_RC_COMPILE_OBJECT "<CMAKE_RC_COMPILER> <DEFINES> <INCLUDES> <FLAGS> /FO <OBJECT> <SOURCE>")
set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_LINKER> /nologo <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> /OUT:<TARGET>")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "")
