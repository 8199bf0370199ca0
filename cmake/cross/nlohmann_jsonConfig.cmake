# nlohmann/json is header-only: the cross build uses Debian's headers from a
# copy in the build tree, so the host's include folder never reaches the cross compiler.
if(NOT TARGET nlohmann_json::nlohmann_json)
    file(COPY /usr/include/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/host-headers/json)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers/json)
endif()
set(nlohmann_json_FOUND TRUE)
