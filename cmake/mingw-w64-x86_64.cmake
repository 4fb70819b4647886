# Cross-builds for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, which std::thread and std::mutex need), and runs what it builds under
# Wine. The libraries built for Windows are searched for in the prefix given
# as WINDOWS_DEPS, besides the compiler's own sysroot, never in the host's.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DWINDOWS_DEPS=/path/to/deps ...

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_AR ${triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${triplet}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${triplet}-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP ${triplet}-strip CACHE FILEPATH "")

# The linker would write the time of linking into every program's and DLL's
# header and into each DLL's export table, so that two builds differ; nothing
# reads them (strip later gives the header the build's date).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")

# Try-compile projects read this file again; they learn the prefix only so.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_DEPS)
if(NOT WINDOWS_DEPS AND DEFINED ENV{WINDOWS_DEPS})
    set(WINDOWS_DEPS "$ENV{WINDOWS_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH ${WINDOWS_DEPS} /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the host unless told where the Windows .pc files
# are; with only these, none of the host's include paths gets in.
if(WINDOWS_DEPS)
    set(ENV{PKG_CONFIG_LIBDIR} "${WINDOWS_DEPS}/lib/pkgconfig")
else()
    set(ENV{PKG_CONFIG_LIBDIR} "/nonexistent")
endif()
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${WINE_PROGRAM}")
endif()
