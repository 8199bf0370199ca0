# CLI11 is header-only: the cross build uses Debian's headers from a copy in
# the build tree, so the host's include folder never reaches the cross compiler.
if(NOT TARGET CLI11::CLI11)
    file(COPY /usr/include/CLI DESTINATION ${CMAKE_BINARY_DIR}/host-headers/cli11)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    set_target_properties(CLI11::CLI11 PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers/cli11)
endif()
set(CLI11_FOUND TRUE)
