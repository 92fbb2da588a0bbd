# Cross-compiles the core for the RP2040's Cortex-M0+ with Debian's
# arm-none-eabi GCC and fails if any object needs the heap or exception
# support. Prints the text, data and bss size of each object.
#
# Usage: cmake -DSOURCES="a.cpp,b.cpp" -DINCLUDE=dir -DOUT=dir -P CheckFreestanding.cmake
find_program(ARM_GXX arm-none-eabi-g++ REQUIRED)
find_program(ARM_NM arm-none-eabi-nm REQUIRED)
find_program(ARM_SIZE arm-none-eabi-size REQUIRED)

file(MAKE_DIRECTORY ${OUT})
set(forbidden "malloc|calloc|realloc|free|_Znw|_Zna|_Zdl|_Zda|__cxa_|__gxx_personality|_Unwind_")
set(objects)
string(REPLACE "," ";" SOURCES "${SOURCES}")
foreach(src IN LISTS SOURCES)
    get_filename_component(name ${src} NAME_WE)
    set(obj ${OUT}/${name}.o)
    execute_process(
        COMMAND ${ARM_GXX} -std=c++20 -mcpu=cortex-m0plus -mthumb -Os
                -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections
                -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror
                -I${INCLUDE} -c ${src} -o ${obj}
        RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "arm-none-eabi-g++ failed on ${src}")
    endif()
    execute_process(COMMAND ${ARM_NM} -u ${obj} OUTPUT_VARIABLE undefined)
    string(REGEX MATCHALL "[^\n]*(${forbidden})[^\n]*" bad "${undefined}")
    if(bad)
        message(FATAL_ERROR "${name}.o needs the heap or exception support:\n${bad}")
    endif()
    list(APPEND objects ${obj})
endforeach()
execute_process(COMMAND ${ARM_SIZE} ${objects} OUTPUT_VARIABLE sizes)
message("${sizes}")
