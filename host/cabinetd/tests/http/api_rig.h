// The HTTP API without sockets: a real journal on a temporary file, tokens,
// and two cabinets (one on a memory line to a scripted controller, one whose
// line never opens) behind an ApiContext. serve() takes a request the way the
// server does, routes and authorises it, runs its handler, waits (bounded)
// for an answer that comes later, and checks the answer against the API
// document (its status and media type; the daemon tests check the bodies).
// Lab's door 8 needs a second operator's approval.
#pragma once

#include "api_context.h"
#include "http_api.h"
#include "journal/fault_vfs.h"
#include "reader_thread.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cabinetd::test_support {

inline const std::string kOperator = "operator-token-0123456789";
inline const std::string kOperator2 = "operator-token-9876543210";
inline const std::string kViewer = "viewer-token-0123456789";
// "nurse", an operator for lab's doors 1 to 4 only. Lab's door 8 needs a reason.
inline const std::string kNurse = "nurse-token-0123456789";
inline const std::string kDeadEndpoint = "tcp:10.0.0.7:5000";

// What the controller on lab's line does; change it under mu.
struct ControllerScript {
    std::mutex mu;
    std::string open_ack = "accepted"; // "": the open goes unanswered
    std::string clear_ack = "cleared";
    std::string fault = "none";     // the fault its state lines show
    std::deque<std::string> say;    // lines it sends next, in order
    std::uint64_t seq = 1;          // its latest event number
    std::vector<std::string> heard; // commands other than heartbeats and state requests

    // Queues an event of the controller's own (a door forced, say).
    void event(const std::string &code, unsigned door);
};

class ApiRig : public ::testing::Test {
protected:
    ApiRig();
    ~ApiRig() override;

    using Headers = std::map<std::string, std::string>;
    // The answer to a request (with a token unless it is "", a JSON body
    // unless the headers say otherwise): now, or once its handler answers.
    Response serve(http::verb method, const std::string &target, const std::string &token = "",
                   const std::string &body = "", const Headers &headers = {});
    Response get(const std::string &target, const std::string &token = kViewer) {
        return serve(http::verb::get, target, token);
    }
    struct Refused {
        http::verb method;
        std::string target, token, body;
        Headers headers;
        int status;
    };
    // Each refused with its status and an error that says why, and none
    // reaching the controller.
    void expect_refused(const std::vector<Refused> &cases);
    nlohmann::json json_of(const Response &r) const;
    // Until pred holds, at most 30 s.
    bool eventually(const std::function<bool()> &pred);
    // Makes every journal write fail, as a full disk does, until it returns.
    void fill_the_disk();
    Cabinet &lab() { return *cabinets_[0]; }

    std::filesystem::path dir_;
    test_support::FaultVfs fault_vfs_; // writes fail while dir_/fault exists
    std::unique_ptr<Journal> journal_;
    // What the policy takes for now: the system's clock unless a test sets it.
    std::optional<WallTime> wall_;
    std::shared_ptr<Policy> policy_;
    std::unique_ptr<Tokens> tokens_;
    // Puts a token file in force, as a reload does.
    void reload(const std::string &token_file);
    std::unique_ptr<ApiContext> ctx_;
    ControllerScript script_;
    std::uint64_t now_ = 0;         // lab's simulated milliseconds, its thread's only
    std::uint64_t approval_ms_ = 0; // what approvals expire by (lab's door 8 needs one)
    std::vector<std::unique_ptr<Cabinet>> cabinets_;
    ReaderThread reader_{64, 4};
};

} // namespace cabinetd::test_support
