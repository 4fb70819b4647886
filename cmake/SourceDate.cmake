# One date for everything a build makes, so that two builds of one commit are
# the same bytes whatever the clock says: SOURCE_DATE_EPOCH when it is set,
# else the time of the commit checked out, else, in a tree made by
# git archive (the source package), the commit time git wrote into
# cmake/source-date.txt. Sets MUSIC_INVENTORY_SOURCE_DATE_EPOCH.

set(recorded_date_file "${CMAKE_CURRENT_LIST_DIR}/source-date.txt")
set(MUSIC_INVENTORY_SOURCE_DATE_EPOCH "")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(MUSIC_INVENTORY_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    find_package(Git QUIET)
    if(GIT_FOUND)
        # Only the tree's own repository counts, not one it happens to lie in.
        execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --show-toplevel --absolute-git-dir
            WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
            OUTPUT_VARIABLE repository OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE git_status ERROR_QUIET)
        string(REPLACE "\n" ";" repository "${repository}")
        list(LENGTH repository parts)
        if(git_status EQUAL 0 AND parts EQUAL 2)
            list(GET repository 0 top)
            list(GET repository 1 git_dir)
            get_filename_component(top "${top}" REALPATH)
            get_filename_component(source "${CMAKE_SOURCE_DIR}" REALPATH)
            if(top STREQUAL source)
                execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                    OUTPUT_VARIABLE MUSIC_INVENTORY_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
                # A new commit or checkout configures again, for its date.
                if(EXISTS "${git_dir}/logs/HEAD")
                    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY
                        CMAKE_CONFIGURE_DEPENDS "${git_dir}/logs/HEAD")
                endif()
            endif()
        endif()
    endif()
    if(NOT MUSIC_INVENTORY_SOURCE_DATE_EPOCH)
        file(STRINGS "${recorded_date_file}" recorded LIMIT_COUNT 1)
        # In a checkout the file holds git's placeholder, not a date.
        if(recorded MATCHES "^[0-9]+$")
            set(MUSIC_INVENTORY_SOURCE_DATE_EPOCH "${recorded}")
        endif()
    endif()
endif()
if(NOT MUSIC_INVENTORY_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(WARNING "no date for this build: SOURCE_DATE_EPOCH is not a number of seconds, "
        "or git gives no commit time for this tree and ${recorded_date_file} holds none; "
        "its packages will carry the time they are made")
    set(MUSIC_INVENTORY_SOURCE_DATE_EPOCH "")
endif()
