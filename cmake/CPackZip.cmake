# Run by cpack once it has made a package: a ZIP's members are put in order
# of name and dated from the build's date, without the builder's user and
# group IDs (CPack writes them in the order the folder lists them, with the
# files' times and owners), by strip-nondeterminism, as Debian treats its
# own packages' archives.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "\\.zip$")
        continue()
    endif()
    set(timestamp)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(timestamp --timestamp "$ENV{SOURCE_DATE_EPOCH}")
    endif()
    execute_process(COMMAND "${CPACK_MUSIC_INVENTORY_STRIP_NONDETERMINISM}" --type zip
        ${timestamp} "${package}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "strip-nondeterminism failed on ${package}")
    endif()
endforeach()
