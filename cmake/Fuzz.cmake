# libFuzzer targets, each run as a bounded test of the sanitizer build
# (CABINET_FUZZ=ON with CABINET_SANITIZE=ON, clang). A target is a program of
# its own (a fuzz_*.cpp defining LLVMFuzzerTestOneInput) that drives one
# parser and checks its promises, with a seed corpus in the source tree and,
# where it helps, a dictionary of the parser's words.
#
#   cabinet_fuzz_instrument(<library> <source>...)
#       The parser's own sources in <library> (paths relative to the
#       library's folder) get the fuzzer's coverage instrumentation, so that
#       libFuzzer sees which branches an input reaches. They stay in the
#       library: the suite's tests use the same objects (the sanitizer
#       runtime answers the instrumentation's calls where no fuzzer is
#       linked), and nothing is compiled twice. Optimised (-O1) for the
#       executions per second.
#   cabinet_fuzz(<name> SOURCES <file>... [LINK <library>...] [INCLUDES <dir>...]
#                [SEEDS <dir>] [DICT <file>] [MAX_LEN <bytes>] [SECONDS <s>])
#       The program and its test, which runs for SECONDS (default
#       CABINET_FUZZ_HOST_SECONDS) and fails on a crash, a sanitizer's report,
#       an exception escaping or a broken promise. What it finds goes to
#       <name>-corpus/ of the build tree (kept between runs) and a failing
#       input to <name>-crash-*.
#
# Both do nothing without CABINET_FUZZ.

if(CABINET_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "CABINET_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    if(NOT CABINET_SANITIZE)
        message(FATAL_ERROR "CABINET_FUZZ needs CABINET_SANITIZE=ON: the fuzz targets share the sanitizer build's libraries")
    endif()
endif()
# The controller's command parser is the one input a cabinet takes from
# anyone on its line, and its run is the long one; the host's parsers each
# get a few seconds (scripts/test's FUZZ_SECONDS sets both).
set(CABINET_FUZZ_SECONDS 60 CACHE STRING "How long the command parser's fuzz test runs")
set(CABINET_FUZZ_HOST_SECONDS 5 CACHE STRING "How long each host parser's fuzz test runs")

function(cabinet_fuzz_instrument library)
    if(NOT CABINET_FUZZ)
        return()
    endif()
    get_target_property(dir ${library} SOURCE_DIR)
    set(files)
    foreach(source IN LISTS ARGN)
        list(APPEND files ${dir}/${source})
    endforeach()
    # A source with options of its own leaves the library's unity batches.
    set_source_files_properties(${files} TARGET_DIRECTORY ${library}
        PROPERTIES COMPILE_OPTIONS "-fsanitize=fuzzer-no-link;-O1")
endfunction()

function(cabinet_fuzz name)
    if(NOT CABINET_FUZZ)
        return()
    endif()
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "SEEDS;DICT;MAX_LEN;SECONDS" "SOURCES;LINK;INCLUDES")
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LINK})
    target_include_directories(${name} PRIVATE ${arg_INCLUDES})
    # Optimised whatever the build type: a fuzz run is timed, and finds more
    # the more inputs it tries.
    target_compile_options(${name} PRIVATE -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    set(seconds ${CABINET_FUZZ_HOST_SECONDS})
    if(DEFINED arg_SECONDS)
        set(seconds ${arg_SECONDS})
    endif()
    set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    file(MAKE_DIRECTORY ${corpus})
    set(args -max_total_time=${seconds} -timeout=10 -print_final_stats=1
             -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}-)
    if(DEFINED arg_MAX_LEN)
        list(APPEND args -max_len=${arg_MAX_LEN})
    endif()
    if(DEFINED arg_DICT)
        list(APPEND args -dict=${CMAKE_CURRENT_SOURCE_DIR}/${arg_DICT})
    endif()
    list(APPEND args ${corpus})
    if(DEFINED arg_SEEDS)
        list(APPEND args ${CMAKE_CURRENT_SOURCE_DIR}/${arg_SEEDS})
    endif()
    add_test(NAME ${name} COMMAND ${name} ${args})
    # COST: on a tree with no timings yet, ctest starts the longest tests first.
    math(EXPR timeout "${seconds} * 2 + 120")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} COST ${seconds} LABELS fuzz)
endfunction()
