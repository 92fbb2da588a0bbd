#include "board_ids.h"

#include "log.h"

#include <cabinet_host/words.h>

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

BoardIds::BoardIds(Journal &journal, const std::vector<std::string> &cabinets) : journal_(journal) {
    for (const auto &c : cabinets) {
        boards_[c];
        if (auto s = journal_.last_session(c)) seen(c, *s);
    }
    observer_ = journal_.observe([this](const std::vector<Record> &recs) {
        for (const auto &r : recs)
            if (r.kind == RecordKind::Session) seen(r.cabinet, r.session_id);
    });
}

BoardIds::~BoardIds() { journal_.unobserve(observer_); }

void BoardIds::seen(const std::string &cabinet, const std::string &key) {
    // A run without an identity has no board id ("unidentified-<ms>").
    const auto id = cabinet_host::parse_session_id(key.substr(0, key.find('~')));
    std::vector<std::function<void()>> told;
    struct Tell {
        std::vector<std::function<void()>> &told;
        ~Tell() {
            for (auto &t : told) t();
        }
    } tell{told}; // once the lock is given back
    std::lock_guard lk(mu_);
    const auto at = boards_.find(cabinet);
    if (at == boards_.end()) return; // not one of ours
    const auto board = id ? id->board_id : std::string();
    if (board != at->second) told = told_;
    at->second = board;
    // A collision that ends is said to, so that one coming back is said again.
    for (auto it = warned_.begin(); it != warned_.end();) {
        const auto &a = boards_.at(it->first);
        if (!a.empty() && a == boards_.at(it->second)) {
            ++it;
            continue;
        }
        log(Level::Notice,
            fmt::format("cabinets {} and {} no longer report the same board id", it->first,
                        it->second));
        it = warned_.erase(it);
    }
    if (at->second.empty()) return;
    for (const auto &[other, board] : boards_) {
        if (other == cabinet || board != at->second) continue;
        auto pair = std::minmax(cabinet, other);
        if (!warned_.emplace(pair.first, pair.second).second) continue;
        log(Level::Warning,
            fmt::format("cabinets {} and {} report the same board id {} (a copied "
                        "configuration, or two controllers alike): on MQTT, no command is "
                        "taken on topics named by that board, and neither is announced to "
                        "Home Assistant, until each reports a board id of its own",
                        pair.first, pair.second, board));
    }
}

void BoardIds::on_change(std::function<void()> told) const {
    std::lock_guard lk(mu_);
    told_.push_back(std::move(told));
}

std::string BoardIds::board(const std::string &cabinet) const {
    std::lock_guard lk(mu_);
    const auto at = boards_.find(cabinet);
    return at == boards_.end() ? std::string() : at->second;
}

std::vector<std::string> BoardIds::shared_with(const std::string &cabinet) const {
    return identity(cabinet).shared_with;
}

BoardIds::Principal BoardIds::identity(const std::string &cabinet) const {
    std::lock_guard lk(mu_);
    Principal out;
    const auto at = boards_.find(cabinet);
    if (at == boards_.end() || at->second.empty()) return out;
    out.board = at->second;
    for (const auto &[other, board] : boards_)
        if (other != cabinet && board == at->second) out.shared_with.push_back(other);
    return out;
}

} // namespace cabinetd
