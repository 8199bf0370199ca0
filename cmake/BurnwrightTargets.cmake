# Helpers that give every target of ours the same warnings and layout.

set(BURNWRIGHT_WARNINGS -Wall -Wextra -Werror)
if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # mingw-w64's GCC 12 reports overlaps in std::string copies that cannot happen.
    list(APPEND BURNWRIGHT_WARNINGS -Wno-restrict)
endif()

# burnwright_library(NAME SOURCES... [LINKS libs...])
# A static library for one layer; its headers are reached as "layer/Header.h".
function(burnwright_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${BURNWRIGHT_WARNINGS})
    if(ARG_LINKS)
        target_link_libraries(${name} PUBLIC ${ARG_LINKS})
    endif()
endfunction()

# burnwright_program(NAME SOURCES... [LINKS libs...] [STAGED])
function(burnwright_program name)
    cmake_parse_arguments(ARG "STAGED" "" "SOURCES;LINKS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${BURNWRIGHT_WARNINGS})
    target_link_libraries(${name} PRIVATE ${ARG_LINKS})
    if(ARG_STAGED)
        set_property(GLOBAL APPEND PROPERTY BURNWRIGHT_STAGED ${name})
    endif()
endfunction()

# burnwright_test(NAME SOURCES... LINKS libs... [RUN_UNDER command...])
# One GoogleTest executable; each test case is registered with CTest. Its main
# gives every test a claim folder of its own (tests/support/PrivateNames.h).
# RUN_UNDER starts the program (its listing and every case) through a command.
function(burnwright_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS;RUN_UNDER" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    if(ARG_RUN_UNDER)
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${ARG_RUN_UNDER}")
    endif()
    target_compile_options(${name} PRIVATE ${BURNWRIGHT_WARNINGS})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PRIVATE ${ARG_LINKS} burnwright_test_main GTest::gtest GTest::gmock)
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        # Under wine each start costs a second: one test entry per program.
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT 600)
    else()
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
    endif()
endfunction()
