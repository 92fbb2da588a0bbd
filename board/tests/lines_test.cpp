// The writers' drop rule: a line that does not fit 511 characters is not sent
// at all, not even its line feed; one of exactly 511 is sent whole.
#include "harness.h"

namespace {

TEST(Lines, OnlyWholeLinesOfAtMost511CharactersAreSent) {
    Bench b;
    sim::advance(50000000);
    b.raw_lines(); // the start-up lines
    // The event and ack lines grow with their code; the state line with the
    // latched fault code, the last text of its body.
    const auto sent = [&](const std::string &code, int kind) {
        if (kind == 0) emit(nullptr, cabinet.session_id, 7, 8, code.c_str(), "r", 3);
        if (kind == 1) ack(nullptr, code.c_str());
        if (kind == 2) {
            const char *const kept = cabinet.fault_code;
            cabinet.fault_code = code.c_str();
            state();
            cabinet.fault_code = kept;
        }
        sim::advance(50000000); // the UART's FIFO empties onto the wire
        const strings lines = b.raw_lines();
        EXPECT_EQ(b.wire, "") << "a cut line was sent";
        EXPECT_LE(lines.size(), 1u);
        return lines.empty() ? std::string() : lines.front();
    };
    for (int kind : {0, 1, 2}) {
        const size_t base = sent("", kind).size();
        ASSERT_GT(base, 100u) << kind;
        const std::string fits(511 - base, 'x');
        const std::string whole = sent(fits, kind);
        EXPECT_EQ(whole.size(), 511u) << kind;
        EXPECT_NE(whole.find(fits), std::string::npos) << kind;
        EXPECT_EQ(sent(fits + "x", kind), "") << kind;
        EXPECT_EQ(sent(std::string(600, 'x'), kind), "") << kind;
    }
}

} // namespace
