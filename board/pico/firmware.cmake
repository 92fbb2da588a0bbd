# Firmware image for the real Pico board, built against the Pico SDK 1.5.1.
# Included by the top-level CMakeLists.txt when PICO_SDK_PATH is set.
if(NOT DEFINED PICO_SDK_PATH)
    set(PICO_SDK_PATH $ENV{PICO_SDK_PATH})
endif()
set(PICO_BOARD pico CACHE STRING "Target board")
include(${PICO_SDK_PATH}/pico_sdk_init.cmake)

project(tessaro LANGUAGES C CXX ASM)
set(CMAKE_C_STANDARD 11)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE Release CACHE STRING "" FORCE)
endif()

pico_sdk_init()

set(TESSARO_ROOT ${CMAKE_CURRENT_LIST_DIR}/../..)
set(TESSARO_SOURCES
    ${TESSARO_ROOT}/core/cabinet.cpp
    ${TESSARO_ROOT}/core/protocol.cpp
    ${TESSARO_ROOT}/core/text.cpp
    ${TESSARO_ROOT}/board/pico_main.cpp
    ${TESSARO_ROOT}/board/boot_store.cpp
    ${TESSARO_ROOT}/board/sampler.cpp
    ${TESSARO_ROOT}/board/latch.cpp
    ${TESSARO_ROOT}/board/lines.cpp
    ${TESSARO_ROOT}/board/receive.cpp
    ${TESSARO_ROOT}/board/pico/main.cpp)
add_executable(tessaro ${TESSARO_SOURCES})
target_include_directories(tessaro PRIVATE ${TESSARO_ROOT}/core ${TESSARO_ROOT}/board)

# The SDK's headers are not written for our warning set: include them as
# system headers so that the warnings apply to our own code only.
function(tessaro_sdk_headers_as_system dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
        get_target_property(type ${t} TYPE)
        if(type STREQUAL "INTERFACE_LIBRARY")
            set_property(TARGET ${t} PROPERTY SYSTEM TRUE)
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        tessaro_sdk_headers_as_system(${sub})
    endforeach()
endfunction()
tessaro_sdk_headers_as_system(${PICO_SDK_PATH})

# Our own sources get the firmware warning set; the SDK's sources keep theirs.
set_source_files_properties(${TESSARO_SOURCES} PROPERTIES COMPILE_OPTIONS
        "-Wall;-Wextra;-Wpedantic;-Werror;-fno-exceptions;-fno-rtti;-Wshadow;-Wconversion;-Wsign-conversion;-Wcast-align;-Wundef")

# Only the program name comes from main.cpp, so the SDK adds no second one.
target_compile_definitions(tessaro PRIVATE PICO_NO_BI_PROGRAM_NAME=1)

target_link_libraries(tessaro
    pico_stdlib
    pico_unique_id
    hardware_adc
    hardware_flash
    hardware_i2c
    hardware_irq
    hardware_sync
    hardware_uart
    hardware_watchdog)

# The firmware owns UART0 and speaks only its own lines: no stdio at all.
pico_enable_stdio_uart(tessaro 0)
pico_enable_stdio_usb(tessaro 0)

pico_add_extra_outputs(tessaro)
