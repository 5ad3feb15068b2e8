// An HTTP/1.1 server on 127.0.0.1 (a free port) for tests of network code: it
// records every request it receives and answers from a script.
#pragma once

#include "support/RecordedRequest.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// Holds the replies given to it back until it is opened (or the server stops),
// so a test decides when a request in flight completes.
class ReplyGate {
public:
    ReplyGate();
    ~ReplyGate();
    ReplyGate(const ReplyGate&) = delete;
    ReplyGate& operator=(const ReplyGate&) = delete;

    void open();
    // Readable once opened.
    int fd() const { return fd_; }

private:
    int fd_;
};

struct ScriptedReply {
    enum class Action { respond, respondRaw, closeWithoutReply, reset, hang };

    Action action = Action::respond;
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0};
    std::shared_ptr<ReplyGate> gate;
    // The body goes out in this many pieces with `pace` between them.
    int pieces = 1;
    std::chrono::milliseconds pace{0};

    static ScriptedReply respond(int status, std::string body = {});
    // Sends `bytes` as they are (a broken reply), then closes.
    static ScriptedReply raw(std::string bytes);
    static ScriptedReply closeWithoutReply();
    // Drops the connection with a TCP reset instead of an orderly close.
    static ScriptedReply reset();
    // Keeps the connection open without answering until the server is destroyed.
    static ScriptedReply hang();
    ScriptedReply after(std::chrono::milliseconds wait) const;
    ScriptedReply heldBy(std::shared_ptr<ReplyGate> gate) const;
    ScriptedReply trickled(int pieces, std::chrono::milliseconds pace) const;
};

class LoopbackHttpServer {
public:
    LoopbackHttpServer();
    // Ends hanging and delayed connections and joins every thread.
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string baseUrl() const;

    // Replies are used in the order requests arrive; once the script is used
    // up, every request gets the default reply (200, empty body).
    void enqueue(ScriptedReply reply);
    void setDefaultReply(ScriptedReply reply);
    // The same for requests to one path (query left out); these come before
    // the replies for any path.
    void enqueue(const std::string& path, ScriptedReply reply);
    void setDefaultReply(const std::string& path, ScriptedReply reply);

    // A request whose body is longer than this is answered 413, before any
    // scripted reply, as a service with a size limit answers it.
    void setMaxBodyBytes(std::size_t bytes);
    // Requests are read at most this fast, through a small receive buffer,
    // as they arrive over a slow link.
    void setReadRate(std::size_t bytesPerSecond);

    std::vector<RecordedRequest> requests() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = 10s) const;

private:
    void acceptConnections();
    void serve(int connection);
    ScriptedReply nextReply(const std::string& path);
    void sendPaced(int fd, std::string_view response, const ScriptedReply& reply) const;
    // False when the server stopped during the wait.
    bool waitUnlessStopped(std::chrono::milliseconds timeout) const;

    int listener_ = -1;
    int stopEvent_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable requestArrived_;
    std::vector<RecordedRequest> requests_;
    std::deque<ScriptedReply> script_;
    ScriptedReply defaultReply_;
    std::map<std::string, std::deque<ScriptedReply>> pathScripts_;
    std::map<std::string, ScriptedReply> pathDefaultReplies_;
    std::optional<std::size_t> maxBodyBytes_;
    std::optional<std::size_t> readRate_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

// A loopback port on which nothing listens: bound once, then released.
std::uint16_t closedPort();

} // namespace testsupport
