# Shared target conventions: warnings, sanitizers, one static library per source folder,
# one GoogleTest binary per library.

function(koruvan_compile_options target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(KORUVAN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(KORUVAN_SANITIZE STREQUAL "address")
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
        target_link_options(${target} PUBLIC -fsanitize=address,undefined)
    elseif(KORUVAN_SANITIZE STREQUAL "thread")
        target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
        target_link_options(${target} PUBLIC -fsanitize=thread)
    endif()
endfunction()

# koruvan_library(<name> DEPS <targets...>): every .cpp of the current folder (not its
# subfolders) becomes part of the static library <name>. Headers are included by their path
# from the repository root ("engine/core/base/QThread.h").
function(koruvan_library name)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(NOT sources)
        # A folder whose code is still headers only.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARG_DEPS})
        return()
    endif()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    koruvan_compile_options(${name})
endfunction()

# koruvan_tests(<name> DIR <folder> LIBS <targets...> LABELS <labels...>): one test binary
# from every .cpp in the folder, registered test by test with CTest.
function(koruvan_tests name)
    cmake_parse_arguments(ARG "" "DIR;TIMEOUT" "LIBS;LABELS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp)
    if(NOT sources)
        return()
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_executable(${name} ${sources})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    # Tests find their fixtures by this path (__FILE__ may be relative under a compiler cache).
    target_compile_definitions(${name} PRIVATE KORUVAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
    koruvan_compile_options(${name})
    # The discovered tests take a single label (a list would be split into property names):
    # "slow" wins, so that the default run (-LE slow) leaves such sets out.
    set(labels ${ARG_LABELS})
    if("slow" IN_LIST ARG_LABELS)
        set(labels slow)
    endif()
    list(GET labels 0 labels)
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT}
                   ENVIRONMENT "KORUVAN_SHUTDOWN_CMD=${PROJECT_SOURCE_DIR}/tests/support/shutdown-stub.sh")
endfunction()
