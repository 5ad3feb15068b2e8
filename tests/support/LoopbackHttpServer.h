// An HTTP/1.1 server on 127.0.0.1 (a free port) for tests of network code: it
// records every request it receives and answers from a script.
#pragma once

#include "support/RecordedRequest.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

struct ScriptedReply {
    enum class Action { respond, closeWithoutReply, hang };

    Action action = Action::respond;
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0};

    static ScriptedReply respond(int status, std::string body = {});
    static ScriptedReply closeWithoutReply();
    // Keeps the connection open without answering until the server is destroyed.
    static ScriptedReply hang();
    ScriptedReply after(std::chrono::milliseconds wait) const;
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

    std::vector<RecordedRequest> requests() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = 10s) const;

private:
    void acceptConnections();
    void serve(int connection);
    ScriptedReply nextReply();
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
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

} // namespace testsupport
