// Entry point of the firmware on the real Pico board.
#include "pico/binary_info.h"

#include "pico_main.h"

// Program information block read by the SDK's tools (board, build type, SDK
// version and boot stage are added by the SDK itself).
bi_decl(bi_program_name("tessaro"))

int main() {
    pico_startup();
    for (;;) pico_loop_pass();
}
