# Install rules and the Debian and source packages, or on Windows the
# installer and the ZIP (CPack), all dated from the build's one date.

include("${CMAKE_CURRENT_LIST_DIR}/SourceDate.cmake")

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
# What it shares with the cluster's script, beside its SQL.
install(FILES db/schema.sql db/sample.sql scripts/server-common.sh
    DESTINATION "${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME}")
install(FILES doc/debian/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
    RENAME "${PROJECT_NAME}")

# The Debian package, made by Debian's own tools (cmake/debian-package.sh
# says why not CPack): cmake --build build --target deb.
configure_file(doc/debian/control.in "${CMAKE_CURRENT_BINARY_DIR}/debian/control" @ONLY)
configure_file(doc/debian/changelog.in "${CMAKE_CURRENT_BINARY_DIR}/debian/changelog" @ONLY)
add_custom_target(deb
    COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian-package.sh" "${CMAKE_COMMAND}"
            "${CMAKE_CURRENT_BINARY_DIR}" "${MUSIC_INVENTORY_SOURCE_DATE_EPOCH}"
    VERBATIM)
add_dependencies(deb music-inventory compressed-docs)

# The source package holds what git holds at the commit checked out:
# cmake --build build --target source-package.
add_custom_target(source-package
    COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/cmake/source-package.sh" "${CMAKE_CURRENT_SOURCE_DIR}"
            "${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}.tar.gz"
            "${MUSIC_INVENTORY_SOURCE_DATE_EPOCH}"
    VERBATIM)
