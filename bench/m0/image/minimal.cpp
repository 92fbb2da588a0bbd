// The smallest program that uses every entry point of the core. Linked with
// the C library and --gc-sections, it shows what the core drags in.
#include "cabinet.h"
#include "protocol.h"

namespace {
cabinet_t c;
cabinet_cmd_t cmd;
char line[CABINET_LINE_MAX];
}

extern "C" [[noreturn]] void bench_main() {
    cabinet_init(&c, nullptr, nullptr, nullptr, "s", true, 0);
    cabinet_tick(&c, 1, cabinet_inputs_t{0xff, 0xff, 1, 1});
    if (cabinet_parse(line, sizeof line, 0, &cmd)) {
        cabinet_open(&c, &cmd.args);
    }
    cabinet_heartbeat(&c, "s");
    cabinet_clear_fault(&c, "s");
    cabinet_state_json(&c, "p", line, sizeof line);
    for (;;) {
    }
}
