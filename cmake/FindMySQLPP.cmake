# Finds MySQL++ 3.x. It ships no pkg-config file, but its headers include
# <mysql.h> from the MariaDB client, so the imported target carries that
# client's include path (from libmariadb's pkg-config) as well.
#
# Defines MySQLPP_FOUND and the imported target MySQLPP::MySQLPP.

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PC_MARIADB QUIET libmariadb)
endif()

find_path(MySQLPP_INCLUDE_DIR NAMES mysql++/mysql++.h)
find_library(MySQLPP_LIBRARY NAMES mysqlpp)
find_path(MySQLPP_MARIADB_INCLUDE_DIR NAMES mysql.h
    HINTS ${PC_MARIADB_INCLUDE_DIRS}
    PATH_SUFFIXES mariadb mysql)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(MySQLPP
    REQUIRED_VARS MySQLPP_LIBRARY MySQLPP_INCLUDE_DIR MySQLPP_MARIADB_INCLUDE_DIR)

if(MySQLPP_FOUND AND NOT TARGET MySQLPP::MySQLPP)
    add_library(MySQLPP::MySQLPP UNKNOWN IMPORTED)
    set_target_properties(MySQLPP::MySQLPP PROPERTIES
        IMPORTED_LOCATION "${MySQLPP_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES
            "${MySQLPP_INCLUDE_DIR};${MySQLPP_MARIADB_INCLUDE_DIR}")
endif()

mark_as_advanced(MySQLPP_INCLUDE_DIR MySQLPP_LIBRARY MySQLPP_MARIADB_INCLUDE_DIR)
