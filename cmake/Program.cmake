# Pacecap.exe: a console program with no language runtime, entered at
# ProgramEntry, bound to nothing but the system's own libraries.
set(PACECAP_SYSTEM_LIBRARIES KERNEL32 USER32 SHLWAPI POWRPROF)

add_executable(Pacecap ${PACECAP_SOURCES})
target_compile_definitions(Pacecap PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN)

if(MSVC)
    target_compile_options(Pacecap PRIVATE /W4 /WX /GS- /GR- /EHs-c- /Zl /Os)
    foreach(lib IN LISTS PACECAP_SYSTEM_LIBRARIES)
        target_link_libraries(Pacecap PRIVATE ${lib}.lib)
    endforeach()
else()
    target_compile_options(Pacecap PRIVATE
        -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-stack-protector
        -fno-strict-aliasing -Os -Wall -Wextra -Werror)
    # Import libraries made from .def files that list exactly what the program calls.
    foreach(lib IN LISTS PACECAP_SYSTEM_LIBRARIES)
        set(def ${CMAKE_CURRENT_SOURCE_DIR}/cmake/importlibs/${lib}.def)
        set(importlib ${CMAKE_CURRENT_BINARY_DIR}/${lib}.lib)
        add_custom_command(OUTPUT ${importlib}
            COMMAND ${PACECAP_DLLTOOL} -m i386:x86-64 -d ${def} -l ${importlib}
            DEPENDS ${def} VERBATIM)
        list(APPEND importlibs ${importlib})
    endforeach()
    add_custom_target(PacecapImportLibs DEPENDS ${importlibs})
    add_dependencies(Pacecap PacecapImportLibs)
    target_link_libraries(Pacecap PRIVATE ${importlibs})
endif()

target_link_options(Pacecap PRIVATE
    /ENTRY:ProgramEntry /NODEFAULTLIB /SUBSYSTEM:CONSOLE,5.02)
