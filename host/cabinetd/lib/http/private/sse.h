// The event stream (GET /api/stream): the journal's records as they are
// committed, as Server-Sent Events, and on request each cabinet's status the
// moment it changes. A stream takes its connection over from the request
// that asked for it and pages through the journal on the reader thread, one
// page at a time, as its client takes what was sent.
#pragma once

#include "http_api.h"
#include "message_cache.h"

#include <boost/beast/core/tcp_stream.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace cabinetd {

class EventStream;
class StatusChanges;
class CountedRefusals;

// Where a stream starts and what it carries.
struct StreamStart {
    std::string cabinet; // empty: every cabinet
    std::vector<RecordKind> kinds;
    std::int64_t cursor = 0; // records after this one
    // Each cabinet's status as it changes (event "status"), each refusal
    // counted rather than journalled on its own as it happens (event
    // "refusal"), and pings its client can see (event "ping"), besides the
    // records.
    bool status = false;
};

// The stream a request asks for; refused when it asks for none.
Result<StreamStart> stream_request(const ApiRequest &req, ApiContext &ctx);

// The server's streams. Used from the server's thread only.
class EventStreams {
public:
    EventStreams(ApiContext &ctx, ReaderThread &reader) : ctx_(ctx), reader_(reader) {}
    ~EventStreams();

    // From here on, the cabinets' changes of status reach the streams
    // through this executor, the server's; until detach().
    void attach(boost::asio::any_io_executor server);
    void detach();

    // Answers the request with the stream's headers, then its records
    // (a HEAD request: the headers alone), on the connection given, which
    // holds its token's place until it closes.
    void start(boost::beast::tcp_stream socket, Place place, StreamStart what,
               const ApiRequest &req);
    // The token file was reloaded: streams whose token is gone or changed end.
    void tokens_changed();

private:
    friend class EventStream;
    ApiContext &ctx_;
    ReaderThread &reader_;
    // Every stream sends the same recent records: each is formatted once.
    MessageCache messages_{4096};
    std::vector<std::weak_ptr<EventStream>> live_;
    std::shared_ptr<StatusChanges> changes_;
    std::shared_ptr<CountedRefusals> refusals_;
    void status_changed();
    void refusals_counted();
};

} // namespace cabinetd
