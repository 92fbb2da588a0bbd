# Warnings are errors everywhere.
add_compile_options(-Wall -Wextra -Wpedantic -Werror)

# Firmware code (controller, parser, board layer) must also build freestanding
# on the Cortex-M0+: no exceptions, no RTTI, and careful integer conversions.
function(cabinet_firmware_code target)
    target_compile_options(${target} PRIVATE
        -fno-exceptions -fno-rtti
        -Wshadow -Wconversion -Wsign-conversion -Wcast-align -Wundef)
endfunction()
