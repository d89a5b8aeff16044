# Helpers shared by every folder's CMakeLists.txt.

# kv_library(NAME FOLDER [DEPS ...]): a static library of every .cpp below FOLDER
# (files are found by glob so that new sources need no edit here).
function(kv_library name folder)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
    # imaging/ holds two libraries of their own: codec/ and process/.
    if(folder STREQUAL "imaging")
        list(FILTER sources EXCLUDE REGEX "/imaging/(process|codec)/")
    endif()
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} PUBLIC ${ARGN})
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${ARGN})
    endif()
endfunction()

# kv_test(NAME FOLDER LIBS... [LABEL label]): one GoogleTest executable for a tests/ folder.
function(kv_test name folder)
    cmake_parse_arguments(T "" "LABEL" "LIBS" ${ARGN})
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
    if(NOT sources)
        return()
    endif()
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE KV_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
    set(labels ${T_LABEL})
    gtest_discover_tests(${name} PROPERTIES LABELS "${labels}" DISCOVERY_TIMEOUT 60)
    if(T_LABEL STREQUAL "core" AND TARGET kv_core_tests)
        add_dependencies(kv_core_tests ${name})
    endif()
endfunction()
