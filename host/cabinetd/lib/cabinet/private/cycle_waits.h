// Opens that wait for their cycle (wait=cycle): accepted, each is answered
// when its door's cycle ends (an event that ends it), when the controller's
// run ends, or when it takes longer than the cycle's deadline.
#pragma once

#include "cabinet_types.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cabinetd {

class CycleWaits {
public:
    // An open sent that waits for its cycle, until steady ms `deadline_ms`.
    void wait(const std::string &request_id, std::uint64_t deadline_ms);
    // Its answer came: held until the cycle ends (true: the answer is kept
    // here), or to be given now (false: nothing of it is kept), when it was
    // not accepted or its cycle had already ended.
    bool hold(const std::string &request_id, bool accepted, CommandResult &result, Reply &reply);

    // An answer whose cycle has ended: its result says how (cycle_end).
    struct Ended {
        std::string request_id;
        CommandResult result;
        Reply reply;
    };
    // An event of the open's: a cycle that ends before its ack arrived is
    // answered when the ack comes.
    std::optional<Ended> event(const std::string &request_id, const std::string &code);
    std::vector<Ended> expire(std::uint64_t now);
    // The run ended (why): every answer held ends with it; keep_unanswered:
    // those still waiting for their ack stay (the client fails them).
    std::vector<Ended> end(const std::string &why, bool keep_unanswered);
    // The deadline of the first held answer.
    std::optional<std::uint64_t> next_due() const;

private:
    struct Wait {
        CommandResult result;
        Reply reply; // set once the answer is held
        std::uint64_t deadline_ms;
    };
    static Ended ended(const std::string &request_id, Wait &w, const std::string &end);
    std::map<std::string, Wait> waits_; // by request id
};

} // namespace cabinetd
