# Warnings are errors everywhere.
add_compile_options(-Wall -Wextra -Wpedantic -Werror)

# GCC 12 at -O3 (a Release build) reports overlapping copies inside the
# standard library's own std::string code when strings are concatenated
# (-Wrestrict, a false positive fixed in GCC 13). It would fail every Release
# build of the tests and host tools, so it is off for that compiler only.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()

# Firmware code (controller, parser, board layer) must also build freestanding
# on the Cortex-M0+: no exceptions, no RTTI, and careful integer conversions.
function(cabinet_firmware_code target)
    target_compile_options(${target} PRIVATE
        -fno-exceptions -fno-rtti
        -Wshadow -Wconversion -Wsign-conversion -Wcast-align -Wundef)
endfunction()
