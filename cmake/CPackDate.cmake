# Read by cpack before each generator: what it runs takes the build's date,
# strip above all, which writes it into every PE file's header as the time
# stamp (otherwise the time of packaging).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_MUSIC_INVENTORY_DATE)
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MUSIC_INVENTORY_DATE}")
endif()
