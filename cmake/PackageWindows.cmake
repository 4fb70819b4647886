# Install rules, the 64-bit installer (NSIS) and the ZIP for Windows. Both
# hold the program with every DLL it loads that Windows does not have, and
# the licence notices of what they hold, in one folder: Windows finds a
# program's DLLs beside it.

install(TARGETS music-inventory RUNTIME DESTINATION .)
install(FILES db/schema.sql db/sample.sql DESTINATION sql)
# A user's guide, and a launcher that keeps its console window open after
# the program ends (Windows Explorer and the Start menu close it at once).
install(FILES doc/windows/README-Windows.txt doc/windows/music-inventory-window.cmd DESTINATION .)

# The libraries are searched for where the toolchain looks for them, and the
# compiler's own runtime (libstdc++, libgcc, winpthread, libssp) in its
# sysroot.
set(runtime_dirs)
foreach(root ${CMAKE_FIND_ROOT_PATH})
    list(APPEND runtime_dirs "${root}/bin" "${root}/lib" "${root}/lib/mariadb")
endforeach()
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll libssp-0.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${path}")
        get_filename_component(path "${path}" DIRECTORY)
        get_filename_component(path "${path}" REALPATH)
        list(APPEND runtime_dirs "${path}")
    endif()
endforeach()
list(REMOVE_DUPLICATES runtime_dirs)
find_program(MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)
# What every Windows has; anything else not found fails the install, so that
# no package lacks a DLL.
set(system_dlls advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll
    secur32.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll wsock32.dll)

# Resolved when installing: install(RUNTIME_DEPENDENCIES) is refused when
# cross-compiling, file(GET_RUNTIME_DEPENDENCIES) is not.
install(CODE "
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${MINGW_OBJDUMP}\")
set(music_inventory_program \"$<TARGET_FILE:music-inventory>\")
set(music_inventory_strip \"${CMAKE_STRIP}\")
set(music_inventory_runtime_dirs \"${runtime_dirs}\")
set(music_inventory_system_dlls \"${system_dlls}\")
")
install(CODE [[
file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES "${music_inventory_program}"
    RESOLVED_DEPENDENCIES_VAR resolved
    UNRESOLVED_DEPENDENCIES_VAR unresolved
    DIRECTORIES ${music_inventory_runtime_dirs}
    PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-")
foreach(dll IN LISTS unresolved)
    string(TOLOWER "${dll}" name)
    # The install script sets no policies: IN_LIST would not be known.
    list(FIND music_inventory_system_dlls "${name}" index)
    if(index EQUAL -1)
        message(FATAL_ERROR "${dll}, which the program loads, is not found")
    endif()
endforeach()
file(INSTALL ${resolved} DESTINATION "${CMAKE_INSTALL_PREFIX}")
# The libraries were built with debugging information, which a user's copy
# does not need.
if(CMAKE_INSTALL_DO_STRIP)
    foreach(dll IN LISTS resolved)
        get_filename_component(name "${dll}" NAME)
        execute_process(COMMAND "${music_inventory_strip}" --strip-debug
            "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${name}")
    endforeach()
endif()
]])

# The notices of the libraries shipped, each library's in a folder of its
# own under licenses/ with the names its notices give each other (MySQL++'s
# COPYING.txt points to its LICENSE.txt), all with Windows line ends; for
# Connector/C also the change made to it, and what every library's source
# is and where it is to be had (SOURCES.txt, written by scripts/windows.sh).
set(notices
    "mysql++/LICENSE.txt|mysql++/LICENSE.txt"
    "mysql++/COPYING.txt|mysql++/COPYING.txt"
    "mariadb-connector-c/COPYING.LIB|mariadb-connector-c/COPYING.LIB.txt"
    "mariadb-connector-c/connector-c-no-plugin-files.patch|mariadb-connector-c/connector-c-no-plugin-files.patch.txt"
    "utf8proc/LICENSE.md|utf8proc/LICENSE.md.txt"
    "SOURCES.txt|SOURCES.txt")
# The compiler's runtime DLLs: GCC's and mingw-w64's terms, as Debian ships them.
foreach(package gcc-mingw-w64-base mingw-w64-common)
    if(EXISTS "/usr/share/doc/${package}/copyright")
        list(APPEND notices "/usr/share/doc/${package}/copyright|${package}/copyright.txt")
    endif()
endforeach()
foreach(notice ${notices})
    string(REPLACE "|" ";" notice "${notice}")
    list(GET notice 0 source)
    list(GET notice 1 name)
    if(NOT IS_ABSOLUTE "${source}")
        set(source "${WINDOWS_DEPS}/share/doc/${source}")
    endif()
    if(NOT EXISTS "${source}")
        message(FATAL_ERROR "no ${source}: WINDOWS_DEPS must name the libraries' prefix")
    endif()
    file(READ "${source}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/licenses/${name}" "${text}")
    get_filename_component(folder "licenses/${name}" DIRECTORY)
    install(FILES "${CMAKE_CURRENT_BINARY_DIR}/licenses/${name}" DESTINATION "${folder}")
endforeach()
# The written offer of the LGPL libraries' source, after the list of it.
set(contact "${MUSIC_INVENTORY_CONTACT}")
if(NOT contact)
    set(contact "the music-inventory developers")
endif()
file(APPEND "${CMAKE_CURRENT_BINARY_DIR}/licenses/SOURCES.txt" "\r
For three years from the day this copy was made, the complete source of\r
the LGPL libraries above, with the changes made, is given to anyone who\r
asks, for no more than the cost of copying it, by:\r
    ${contact}\r
")
file(READ LICENSE text)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt" "${text}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt" DESTINATION .)

set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VENDOR "the music-inventory developers")
set(CPACK_PACKAGE_CONTACT "${MUSIC_INVENTORY_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_CURRENT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win64")
# Under Program Files, where only administrators may write beside the program.
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${PROJECT_NAME}")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "${PROJECT_NAME}")
set(CPACK_NSIS_PACKAGE_NAME "${PROJECT_NAME} ${PROJECT_VERSION}")
# A 64-bit installer, which installs into the 64-bit Program Files; CPack's
# default is a 32-bit one, which Windows redirects to Program Files (x86).
# The files it installs keep no time of their own (they would carry the
# time they were built or packaged): Windows dates them when installing.
# The uninstaller removes the vendor's key too, once the template's own
# steps have left it empty. The Start menu's folder is the program's name
# alone, as the folder it is installed into (the default is the installer's
# title, version and all).
set(CPACK_NSIS_DEFINES "Target amd64-unicode
SetDateSave off
!define MUI_STARTMENUPAGE_DEFAULTFOLDER '${PROJECT_NAME}'
!include FileFunc.nsh
Function un.onUninstSuccess
  DeleteRegKey /ifempty SHCTX 'Software\\\\${CPACK_PACKAGE_VENDOR}'
FunctionEnd")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# The list of installed programs shows the program's icon and its size
# (in KiB).
set(CPACK_NSIS_INSTALLED_ICON_NAME "music-inventory.exe")
set(CPACK_NSIS_MUI_ICON "${CMAKE_CURRENT_SOURCE_DIR}/doc/windows/music-inventory.ico")
set(CPACK_NSIS_MUI_UNIICON "${CMAKE_CURRENT_SOURCE_DIR}/doc/windows/music-inventory.ico")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  \\\${GetSize} '$INSTDIR' '/S=0K' $0 $1 $2
  WriteRegDWORD SHCTX 'Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\${PROJECT_NAME}' 'EstimatedSize' $0")
# The Start menu's entry runs the launcher, in the program's folder.
set(CPACK_NSIS_CREATE_ICONS_EXTRA
    "CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\music-inventory.lnk' '$INSTDIR\\\\music-inventory-window.cmd'")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\music-inventory.lnk'")
set(CPACK_STRIP_FILES ON)
# The same bytes from any folder, umask and clock: the PE files' time stamps
# and the ZIP's dates are the build's date, the installer keeps no file
# times (SetDateSave off, above), the ZIP's members are in order of name.
find_program(STRIP_NONDETERMINISM strip-nondeterminism)
if(NOT STRIP_NONDETERMINISM)
    message(FATAL_ERROR "strip-nondeterminism is needed for the ZIP (scripts/windows.sh installs it)")
endif()
set(CPACK_MUSIC_INVENTORY_DATE "${MUSIC_INVENTORY_SOURCE_DATE_EPOCH}")
set(CPACK_MUSIC_INVENTORY_STRIP_NONDETERMINISM "${STRIP_NONDETERMINISM}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/CPackDate.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/CPackZip.cmake")
include(CPack)
