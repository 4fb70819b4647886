# Install rules and the Debian and source packages, or on Windows the
# installer and the ZIP (CPack).

include(GNUInstallDirs)
set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME}")

if(WIN32)
    include("${CMAKE_CURRENT_LIST_DIR}/PackageWindows.cmake")
    return()
endif()

# Debian wants the manual page and the changelog compressed, reproducibly.
find_program(GZIP gzip)
if(NOT GZIP)
    message(FATAL_ERROR "gzip is needed to compress the manual page")
endif()
configure_file(doc/debian/changelog.in "${CMAKE_CURRENT_BINARY_DIR}/changelog" @ONLY)
set(compressed)
foreach(source "${CMAKE_CURRENT_SOURCE_DIR}/doc/music-inventory.1"
               "${CMAKE_CURRENT_SOURCE_DIR}/doc/music-inventory-server.1"
               "${CMAKE_CURRENT_BINARY_DIR}/changelog")
    get_filename_component(name "${source}" NAME)
    add_custom_command(OUTPUT "${name}.gz"
        COMMAND "${GZIP}" -9nc "${source}" > "${name}.gz"
        DEPENDS "${source}" VERBATIM)
    list(APPEND compressed "${CMAKE_CURRENT_BINARY_DIR}/${name}.gz")
endforeach()
add_custom_target(compressed-docs ALL DEPENDS ${compressed})

install(TARGETS music-inventory RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# The private server's script, as a command of its own.
install(PROGRAMS scripts/dbserver.sh DESTINATION "${CMAKE_INSTALL_BINDIR}"
    RENAME music-inventory-server)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/music-inventory.1.gz"
    "${CMAKE_CURRENT_BINARY_DIR}/music-inventory-server.1.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz" doc/debian/copyright
    DESTINATION "${doc_dir}")
install(FILES db/schema.sql db/sample.sql DESTINATION "${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME}")

set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VENDOR "the music-inventory developers")
set(CPACK_PACKAGE_CONTACT "${MUSIC_INVENTORY_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "music-inventory looks up artists and songs kept in a MariaDB or MySQL database
on the same machine. It shows a menu of five actions, prints the chosen report
as a table lined up by display width, waits for a key and shows the menu
again. It only reads the database. music-inventory-server makes and runs a
private server of the user's own, holding the inventory, for it. The SQL that
creates the inventory's databases and tables, and a sample inventory, are in
/usr/share/music-inventory.")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_CURRENT_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
# The dependencies come from the libraries the binary links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# music-inventory-server runs them, and the clients' dump programs for its
# dump and restore; the program itself may use any server.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "mariadb-server-core | mysql-server-core, mariadb-client | mysql-client")
set(CPACK_STRIP_FILES ON)
# The binary package installs under /usr; the source package keeps the tree.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackageOptions.cmake")

# The source package holds what git holds, under music-inventory-VERSION/.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.dbdata/" "__pycache__"
    "\\\\.pyc$")
include(CPack)
