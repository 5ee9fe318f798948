# Build settings shared by every target, and the helpers that make tests, fuzz targets
# and benchmarks one line each.

set(DORNEL_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wno-unused-parameter)
if(DORNEL_WERROR)
  list(APPEND DORNEL_WARNINGS -Werror)
endif()
add_compile_options("$<$<COMPILE_LANGUAGE:CXX,C>:${DORNEL_WARNINGS}>")

if(DORNEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(DORNEL_FUZZ)
  # Libraries are instrumented for coverage; only the fuzz executables link the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# dornel_library(NAME SOURCES... [LIBS ...]): a static library of one folder.
function(dornel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# dornel_test(NAME SOURCES... [LIBS ...] [LABELS ...] [TIMEOUT s] [ENV ...]):
# one GoogleTest executable registered with CTest as one test.
function(dornel_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # A test that opens the event log also offers the log RPC interface: on loopback, with
  # its endpoint mapper on a port of its own (0), never on 135. Tests of the interface set
  # their own values.
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "DORNEL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;DORNEL_SOURCE_DIR=${CMAKE_SOURCE_DIR};DORNEL_RPC_ADDRESS=127.0.0.1;DORNEL_EPM_PORT=0;${ARG_ENV}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# dornel_script_test(NAME COMMAND... [TIMEOUT s] [LABELS ...] [ENV ...]): a shell or Python
# test run from the source tree with the build's binaries on DORNEL_BIN_DIR; a server it
# starts inherits the loopback RPC settings of dornel_test unless the script sets its own.
function(dornel_script_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND;LABELS;ENV" ${ARGN})
  add_test(NAME ${name} COMMAND ${ARG_COMMAND} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "DORNEL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;DORNEL_TEST_DIR=${CMAKE_BINARY_DIR}/tests;DORNEL_SOURCE_DIR=${CMAKE_SOURCE_DIR};DORNEL_RPC_ADDRESS=127.0.0.1;DORNEL_EPM_PORT=0;${ARG_ENV}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# dornel_fuzzer(NAME SOURCES... [LIBS ...]): a libFuzzer executable in DORNEL_FUZZ builds.
# In a normal build with tests the same sources become a replay executable (fuzz/replay_main.cpp
# for main) registered with CTest as fuzz_replay_NAME: it runs every file of fuzz/corpus/NAME/
# once, so a crash input kept there stays fixed. A target without seeds fails that test.
function(dornel_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT DORNEL_FUZZ AND NOT DORNEL_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  if(DORNEL_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    return()
  endif()
  if(NOT TARGET dornel_fuzz_replay)
    add_library(dornel_fuzz_replay STATIC ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  endif()
  target_link_libraries(${name} PRIVATE dornel_fuzz_replay)
  add_test(NAME fuzz_replay_${name} COMMAND ${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(fuzz_replay_${name} PROPERTIES TIMEOUT 300 LABELS fuzz
    ENVIRONMENT "DORNEL_RPC_ADDRESS=127.0.0.1;DORNEL_EPM_PORT=0")
endfunction()

# dornel_bench(NAME SOURCES... [LIBS ...]): a Google Benchmark or plain timing executable.
function(dornel_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
