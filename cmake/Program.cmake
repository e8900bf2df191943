# Pacecap.exe: a console program with no language runtime, entered at
# ProgramEntry, bound to nothing but the system's own libraries.
set(PACECAP_SYSTEM_LIBRARIES KERNEL32 USER32 SHLWAPI POWRPROF)
set(PACECAP_FREESTANDING_FLAGS
    -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-stack-protector
    -fno-strict-aliasing -Os -Wall -Wextra -Werror)

# Makes an import library from a .def file that lists exactly the functions
# called; sets <out> to its path.
function(pacecap_import_library def out)
    get_filename_component(name ${def} NAME_WE)
    file(RELATIVE_PATH subdir ${CMAKE_CURRENT_SOURCE_DIR} ${def})
    get_filename_component(subdir ${subdir} DIRECTORY)
    set(importlib ${CMAKE_CURRENT_BINARY_DIR}/importlibs/${subdir}/${name}.lib)
    add_custom_command(OUTPUT ${importlib}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/importlibs/${subdir}
        COMMAND ${PACECAP_DLLTOOL} -m i386:x86-64 -d ${def} -l ${importlib}
        DEPENDS ${def} VERBATIM)
    set(${out} ${importlib} PARENT_SCOPE)
endfunction()

add_executable(Pacecap ${PACECAP_SOURCES})
target_compile_definitions(Pacecap PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN)

if(MSVC)
    target_compile_options(Pacecap PRIVATE /W4 /WX /GS- /GR- /EHs-c- /Zl /Os)
    foreach(lib IN LISTS PACECAP_SYSTEM_LIBRARIES)
        target_link_libraries(Pacecap PRIVATE ${lib}.lib)
    endforeach()
else()
    target_compile_options(Pacecap PRIVATE ${PACECAP_FREESTANDING_FLAGS})
    foreach(lib IN LISTS PACECAP_SYSTEM_LIBRARIES)
        pacecap_import_library(${CMAKE_CURRENT_SOURCE_DIR}/cmake/importlibs/${lib}.def importlib)
        target_sources(Pacecap PRIVATE ${importlib})
        target_link_libraries(Pacecap PRIVATE ${importlib})
    endforeach()
endif()

target_link_options(Pacecap PRIVATE
    /ENTRY:ProgramEntry /NODEFAULTLIB /SUBSYSTEM:CONSOLE,5.02)

if(NOT MSVC)
    add_subdirectory(tests/wine)
endif()
