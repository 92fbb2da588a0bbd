// Which board each cabinet's controller is, as its sessions show, and which
// cabinets share one: a copied configuration, or two simulators started
// alike. Topics named by the board would mean either cabinet, so the MQTT
// bridge asks here before it takes a command; the log says when a collision
// starts and ends, and the status, the page and the metrics show it for as
// long as it lasts.
#pragma once

#include "journal.h"

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace cabinetd {

class BoardIds {
public:
    // Starts from each cabinet's last session in the journal, then follows
    // the session records the journal is given.
    BoardIds(Journal &journal, const std::vector<std::string> &cabinets);
    ~BoardIds();
    BoardIds(const BoardIds &) = delete;
    BoardIds &operator=(const BoardIds &) = delete;

    // The cabinet's board id (16 upper-case hex digits), or "" while unknown.
    std::string board(const std::string &cabinet) const;
    // The other cabinets whose board id is this cabinet's, in name order.
    std::vector<std::string> shared_with(const std::string &cabinet) const;
    // Both at one moment.
    struct Principal {
        std::string board;
        std::vector<std::string> shared_with;
    };
    Principal identity(const std::string &cabinet) const;

    // Takes a session key of the journal ("<session id>[~<ms>]").
    void seen(const std::string &cabinet, const std::string &session_key);
    // told runs whenever a cabinet's board changes, on the thread that wrote
    // the session record that showed it: it must not block. Kept as long as this.
    void on_change(std::function<void()> told) const;

private:
    Journal &journal_;
    int observer_ = 0;
    mutable std::mutex mu_;
    std::map<std::string, std::string> boards_;            // by cabinet
    std::set<std::pair<std::string, std::string>> warned_; // pairs of cabinets, sorted
    mutable std::vector<std::function<void()>> told_;
};

} // namespace cabinetd
