// Event-stream messages by journal cursor: every live stream sends the same
// recent records, so each is formatted once. The cache holds at most its
// capacity on every path: it keeps the newest records only, and a record
// older than those it holds (a client catching up from far back) is
// formatted for that client alone, never added.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace cabinetd {

class MessageCache {
public:
    explicit MessageCache(std::size_t capacity) : capacity_(capacity) {}

    // The message for the record at `cursor`, made by format() when it is
    // not held. The reference lasts until the next call.
    template <class Format> const std::string &get(std::int64_t cursor, Format format) {
        if (!items_.empty() && cursor <= items_.back().first) {
            auto it =
                std::lower_bound(items_.begin(), items_.end(), cursor,
                                 [](const auto &item, std::int64_t c) { return item.first < c; });
            if (it != items_.end() && it->first == cursor) return it->second;
            scratch_ = format();
            return scratch_;
        }
        items_.emplace_back(cursor, format());
        while (items_.size() > capacity_) items_.pop_front();
        return items_.back().second;
    }

    std::size_t size() const { return items_.size(); }

private:
    std::size_t capacity_;
    std::deque<std::pair<std::int64_t, std::string>> items_;
    std::string scratch_;
};

} // namespace cabinetd
