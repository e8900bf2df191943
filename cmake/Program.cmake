# Pacecap.exe and PacecapKeep.exe: console programs with no language runtime,
# entered at ProgramEntry, bound to nothing but the system's own libraries.
# Only KERNEL32 is bound at load time; the others are bound on first use,
# after main has restricted the library search to System32.
set(PACECAP_SYSTEM_LIBRARIES KERNEL32 USER32 SHLWAPI POWRPROF)
set(PACECAP_DEFERRED_LIBRARIES USER32 SHLWAPI POWRPROF)
set(PACECAP_FREESTANDING_FLAGS
    -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-stack-protector
    -fno-strict-aliasing -Os -Wall -Wextra -Werror -Wframe-larger-than=4096)
# cl has no -fno-builtin and may turn loops into memset or memcpy calls; this
# build lets clang do the same, to show that the program links all the same.
option(PACECAP_ALLOW_BUILTINS "Let the compiler use its builtins for the programs, as cl does" OFF)
set(PACECAP_PROGRAM_FLAGS ${PACECAP_FREESTANDING_FLAGS})
if(PACECAP_ALLOW_BUILTINS)
    list(REMOVE_ITEM PACECAP_PROGRAM_FLAGS -ffreestanding -fno-builtin)
endif()

# The target processor: cl names it in its architecture id (a Visual Studio
# build for ARM64 may run on an x64 host and the other way round); the cross
# builds name it in their toolchain file.
if(MSVC)
    set(PACECAP_ARCH ${CMAKE_CXX_COMPILER_ARCHITECTURE_ID})
else()
    set(PACECAP_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()
if(PACECAP_ARCH MATCHES "^(ARM64|arm64|aarch64)$")
    set(PACECAP_ARM64 ON)
    # An import library's stubs are code of its machine: x64 stubs link into an
    # ARM64 image without a word, and cannot run there.
    set(PACECAP_DLLTOOL_MACHINE arm64)
elseif(PACECAP_ARCH MATCHES "^(AMD64|x64|x86_64)$")
    set(PACECAP_ARM64 OFF)
    set(PACECAP_DLLTOOL_MACHINE i386:x86-64)
else()
    message(FATAL_ERROR "Pacecap builds for x64 or ARM64 Windows, not for '${PACECAP_ARCH}'")
endif()

# Makes an import library from a .def file that lists exactly the functions
# called; sets <out> to its path.
function(pacecap_import_library def out)
    get_filename_component(name ${def} NAME_WE)
    file(RELATIVE_PATH subdir ${CMAKE_CURRENT_SOURCE_DIR} ${def})
    get_filename_component(subdir ${subdir} DIRECTORY)
    set(importlib ${CMAKE_CURRENT_BINARY_DIR}/importlibs/${subdir}/${name}.lib)
    add_custom_command(OUTPUT ${importlib}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/importlibs/${subdir}
        COMMAND ${PACECAP_DLLTOOL} -m ${PACECAP_DLLTOOL_MACHINE} -d ${def} -l ${importlib}
        DEPENDS ${def} VERBATIM)
    set(${out} ${importlib} PARENT_SCOPE)
endfunction()

# Links target to the system libraries named after folder: the SDK's import
# libraries under Visual Studio, else ours, made from folder/NAME.def.
function(pacecap_link_system_libraries target folder)
    foreach(lib IN LISTS ARGN)
        if(MSVC)
            target_link_libraries(${target} PRIVATE ${lib}.lib)
        else()
            pacecap_import_library(${folder}/${lib}.def importlib)
            target_sources(${target} PRIVATE ${importlib})
            target_link_libraries(${target} PRIVATE ${importlib})
        endif()
    endforeach()
endfunction()

if(MSVC)
    # CMake's defaults ask for exceptions and RTTI, which a program without a
    # runtime has not; dropping them keeps cl from warning about the override.
    string(REGEX REPLACE "/EH[a-z]*|/GR" "" CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS}")
    # The Debug defaults' run-time checks call _RTC_* routines of the runtime.
    foreach(config DEBUG RELWITHDEBINFO RELEASE MINSIZEREL)
        string(REGEX REPLACE "/RTC[1csu]*" "" CMAKE_CXX_FLAGS_${config} "${CMAKE_CXX_FLAGS_${config}}")
    endforeach()
endif()

# The one source of the version: the version resource says it, and the
# release bundle reads it from there.
set(PACECAP_VERSION "1.0.0.0" CACHE STRING "Version of this build, X.Y.Z.W")
if(NOT PACECAP_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "PACECAP_VERSION must be X.Y.Z.W, four numbers from 0 to 65535: '${PACECAP_VERSION}'")
endif()
foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
    if(part GREATER 65535)
        message(FATAL_ERROR "PACECAP_VERSION must be X.Y.Z.W, four numbers from 0 to 65535: '${PACECAP_VERSION}'")
    endif()
endforeach()
string(REPLACE "." "," PACECAP_VERSION_COMMAS "${PACECAP_VERSION}")
configure_file(res/Version.h.in ${CMAKE_CURRENT_BINARY_DIR}/generated/Version.h @ONLY)

# memset and memcpy of our own, which the host tests take from the C library.
# Each function in a section of its own, so that a link that calls neither
# drops both (/Gy for cl, which /O1 and /O2 imply).
set(PACECAP_MEMORY_ROUTINES ${CMAKE_CURRENT_SOURCE_DIR}/src/MemoryRoutines.cpp)
if(MSVC)
    set_source_files_properties(${PACECAP_MEMORY_ROUTINES} PROPERTIES COMPILE_OPTIONS /Gy)
else()
    set_source_files_properties(${PACECAP_MEMORY_ROUTINES} PROPERTIES COMPILE_OPTIONS -ffunction-sections)
endif()
if(MSVC)
    # No runtime is linked, so no flag may bring in a call into one, in Debug
    # or in Release:
    #   /GS-      no buffer security checks (__security_cookie, __security_check_cookie)
    #   /Gs4096   a stack probe (__chkstk) only for a frame over one page, the
    #             default stated; the largest frame, printf's, is a quarter of
    #             that, and a larger one fails the link rather than skipping
    #             the stack's guard page
    #   /JMC-     no Just My Code (__CheckForDebuggerJustMyCode in each function)
    #   /Zc:threadSafeInit-  no guarded local statics (_Init_thread_header)
    #   /GR- /EHs-c-  no RTTI or exceptions (type_info, __CxxFrameHandler)
    #   /Zl       no default runtime library named in the objects
    # The Debug defaults' /RTC is taken out above; memset and memcpy, which
    # cl may call to zero or copy a struct at any optimization level, are our
    # own (src/MemoryRoutines.cpp). C++ only: with the Ninja generator the
    # target's options reach rc.exe too.
    set(PACECAP_MSVC_FLAGS
        "$<$<COMPILE_LANGUAGE:CXX>:/W4;/WX;/GS-;/Gs4096;/JMC-;/Zc:threadSafeInit-;/GR-;/EHs-c-;/Zl;/Os>")
else()
    find_program(PACECAP_PYTHON NAMES python3 REQUIRED)
endif()

# Builds the program target.exe from the sources that follow target, with the
# resource script res/target.rc.
function(pacecap_program target)
    set(resources res/${target}.rc)
    add_executable(${target} ${ARGN} ${PACECAP_MEMORY_ROUTINES} ${resources})
    # res: found by every resource compiler however it resolves a quoted
    # include, for the script that each program's .rc includes.
    target_include_directories(${target} PRIVATE src res ${CMAKE_CURRENT_BINARY_DIR}/generated)
    set_property(SOURCE ${resources} APPEND PROPERTY OBJECT_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/res/Program.rc2
        ${CMAKE_CURRENT_SOURCE_DIR}/res/Pacecap.ico
        ${CMAKE_CURRENT_SOURCE_DIR}/res/Pacecap.manifest
        ${CMAKE_CURRENT_SOURCE_DIR}/src/Maker.h)
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN)

    if(MSVC)
        target_compile_options(${target} PRIVATE ${PACECAP_MSVC_FLAGS})
        # Newer CMake selects the run-time checks by this property instead (CMP0184).
        set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_CHECKS "")
        target_link_options(${target} PRIVATE /RELEASE /MANIFEST:NO)
    else()
        target_compile_options(${target} PRIVATE ${PACECAP_PROGRAM_FLAGS})
    endif()
    pacecap_link_system_libraries(${target} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/importlibs ${PACECAP_SYSTEM_LIBRARIES})

    # Image properties: 1 MB stack and heap reserved with 4 KB committed. x64:
    # a fixed base without relocations, no ASLR or DEP flags, for Windows 5.2
    # and later. ARM64 has no fixed-base images and its loaders want NX, so
    # there the image is relocatable with ASLR and DEP, for the first Windows
    # on ARM (6.2).
    target_link_options(${target} PRIVATE
        /ENTRY:ProgramEntry /NODEFAULTLIB
        /BASE:0x140000000 /LARGEADDRESSAWARE /TSAWARE
        /STACK:0x100000,0x1000 /HEAP:0x100000,0x1000
        /MAP:$<TARGET_FILE_DIR:${target}>/${target}.map /Brepro)
    if(PACECAP_ARM64)
        target_link_options(${target} PRIVATE /SUBSYSTEM:CONSOLE,6.02 /DYNAMICBASE /NXCOMPAT)
    else()
        target_link_options(${target} PRIVATE
            /SUBSYSTEM:CONSOLE,5.02 /FIXED /DYNAMICBASE:NO /NXCOMPAT:NO /HIGHENTROPYVA:NO)
    endif()
    foreach(lib IN LISTS PACECAP_DEFERRED_LIBRARIES)
        target_link_options(${target} PRIVATE /DELAYLOAD:${lib}.dll)
    endforeach()

    if(NOT MSVC)
        # lld-link sets neither the operating-system version nor the header checksum.
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${PACECAP_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/finish_image.py $<TARGET_FILE:${target}>
            VERBATIM)
    endif()
endfunction()

pacecap_program(Pacecap ${PACECAP_SOURCES})
# The scheduled task's keeper of the limits, beside Pacecap.exe.
pacecap_program(PacecapKeep ${PACECAP_KEEPER_SOURCES})

# The installer's custom action, beside Pacecap.exe in the build folder.
add_subdirectory(installer/TaskAction)

if(NOT MSVC)
    add_subdirectory(tests/programs)
endif()
