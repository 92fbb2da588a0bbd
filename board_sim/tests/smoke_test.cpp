#include "board_sim/control.h"
#include "firmware_style.h"
#include <gtest/gtest.h>
TEST(Smoke, FirmwareStyleRuns) {
    board_sim::power_on();
    fw_style_exercise();
    EXPECT_EQ(board_sim::uart_host_take(), "hi\n");
    EXPECT_FALSE(board_sim::reset_pending());
}
