#include "cabinet_host/transport.h"

namespace cabinet_host {

void LineSplitter::feed(const char *data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (c == '\n') {
            if (!overflow_) lines_.push_back(std::move(partial_));
            partial_.clear();
            overflow_ = false;
        } else if (!overflow_) {
            if (partial_.size() >= max_line_) {
                overflow_ = true;
                partial_.clear();
            } else {
                partial_.push_back(c);
            }
        }
    }
}

std::optional<std::string> LineSplitter::pop() {
    if (lines_.empty()) return std::nullopt;
    std::string l = std::move(lines_.front());
    lines_.pop_front();
    return l;
}

void MemoryTransport::send_line(const std::string &line) {
    if (closed_) throw ConnectionLost("memory transport closed");
    sent.push_back(line);
    if (on_send) on_send(line);
}

std::optional<std::string> MemoryTransport::receive_line(std::chrono::milliseconds timeout) {
    if (!inbound_.empty()) {
        std::string l = std::move(inbound_.front());
        inbound_.pop_front();
        return l;
    }
    if (closed_) throw ConnectionLost("memory transport closed");
    if (clock_ && timeout.count() > 0) *clock_ += static_cast<std::uint64_t>(timeout.count());
    return std::nullopt;
}

} // namespace cabinet_host
