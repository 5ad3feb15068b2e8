// The URL loading stand-in: runs HTTP and HTTPS requests on libcurl, all on one
// worker thread, and reports each request exactly once on that thread.
#pragma once

#include "platform/core/LibraryThread.h"
#include "platform/http/HttpMessage.h"

#include <functional>
#include <memory>

namespace platform::http {

class HttpTransport {
public:
    using Completion = std::function<void(HttpResponse)>;

    HttpTransport();
    // Every request still queued or in flight completes with a `cancelled`
    // error before this returns, unless it runs on the worker itself (from a
    // completion): then the worker finishes that work right after the
    // completion returns. In a forked child, where the worker and its
    // connections are the parent's, nothing is touched.
    ~HttpTransport();
    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    // Never calls `completion` on the caller's thread.
    void send(HttpRequest request, Completion completion);

private:
    struct Worker;
    std::shared_ptr<Worker> worker_;
    LibraryThread thread_;
};

} // namespace platform::http
