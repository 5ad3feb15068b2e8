#include "platform/http/HttpTransport.h"

#include "platform/http/CurlDescriptors.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform::http {

namespace {

void initialiseCurlOnce() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)result;
}

struct EasyHandleDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

HttpErrorCode errorCodeFor(CURLcode result) {
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
        return HttpErrorCode::timedOut;
    case CURLE_URL_MALFORMAT:
        return HttpErrorCode::badURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return HttpErrorCode::unsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return HttpErrorCode::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return HttpErrorCode::cannotConnectToHost;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return HttpErrorCode::networkConnectionLost;
    default:
        return HttpErrorCode::other;
    }
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

struct Transfer {
    HttpRequest request;
    HttpTransport::Completion completion;
    std::unique_ptr<CURL, EasyHandleDeleter> easy;
    std::unique_ptr<curl_slist, HeaderListDeleter> headerList;
    HttpResponse response;
    // The status of the final reply once its head has arrived whole: what
    // follows is body only.
    std::optional<int> statusOfCompleteHead;
    std::optional<int> statusInHead;
    bool bodyTooLong = false;
    // Taken before libcurl starts its clock, so the deadline has passed by
    // this one whenever it has by libcurl's.
    std::chrono::steady_clock::time_point started;
    char errorText[CURL_ERROR_SIZE] = {};

    void completeWithError(HttpErrorCode code, std::string description) {
        response.statusCode.reset();
        response.error = HttpError{code, std::move(description)};
        complete();
    }

    void completeWithStatus() {
        long status = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
        response.statusCode = static_cast<int>(status);
        complete();
    }

    // The transfer failed after the reply's head: the status stands, the
    // body, whatever came of it, goes.
    void completeWithStatusOfHead() {
        std::string().swap(response.body);
        response.statusCode = statusOfCompleteHead;
        complete();
    }

    void complete() {
        auto callback = std::move(completion);
        callback(std::move(response));
    }
};

size_t appendBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const auto& limit = transfer.request.maxResponseBytes;
    if (limit && size * count > *limit - transfer.response.body.size()) {
        // Taking fewer bytes than offered makes libcurl abort the transfer.
        transfer.bodyTooLong = true;
        return 0;
    }
    transfer.response.body.append(data, size * count);
    return size * count;
}

// The code of a status line ("HTTP/1.1 200 OK", "HTTP/2 204"), if it has one.
std::optional<int> statusLineCode(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    int code = 0;
    const char* first = line.data() + space + 1;
    const auto [end, error] = std::from_chars(first, line.data() + line.size(), code);
    if (error != std::errc() || end - first != 3) {
        return std::nullopt;
    }
    return code;
}

size_t appendHeader(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    auto& headers = transfer.response.headers;
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // Only the final response's headers count, not those of an interim one.
        headers.clear();
        transfer.statusInHead = statusLineCode(line);
    } else if (trimmed(line).empty()) {
        // An interim (1xx) reply's head is followed by another one.
        if (transfer.statusInHead && *transfer.statusInHead >= 200) {
            transfer.statusOfCompleteHead = transfer.statusInHead;
        }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                             std::string(trimmed(line.substr(colon + 1))));
    }
    return size * count;
}

// Trusted roots follow the system's TLS library: SSL_CERT_FILE replaces the
// bundle and SSL_CERT_DIR the hashed folder, each on its own, so a private CA
// is trusted without touching the system's store.
bool trustRootsFromEnvironment(CURL* easy) {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* folder = std::getenv("SSL_CERT_DIR");
    return (!file || !*file || curl_easy_setopt(easy, CURLOPT_CAINFO, file) == CURLE_OK) &&
           (!folder || !*folder || curl_easy_setopt(easy, CURLOPT_CAPATH, folder) == CURLE_OK);
}

// Whether a request that timed out before its reply's head was still sending
// its body: bytes not yet handed to the kernel, or the deadline reached. A
// transfer whose body had gone up and then stood still ends by the idle limit
// first, so one that met the deadline was moving until shortly before, its
// body draining from the kernel's buffers. libcurl counts time in whole
// milliseconds rounded up, so it may end a transfer at its deadline a fraction
// of a millisecond before the deadline as measured here.
bool endedWhileSendingBody(const Transfer& transfer) {
    constexpr auto kDeadlineRounding = std::chrono::milliseconds(10);
    curl_off_t sent = 0;
    curl_easy_getinfo(transfer.easy.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
    return !transfer.request.body.empty() &&
           (static_cast<std::size_t>(sent) < transfer.request.body.size() ||
            std::chrono::steady_clock::now() - transfer.started + kDeadlineRounding >=
                transfer.request.deadline);
}

// A request abandoned at its deadline must not be finished afterwards by the
// kernel from its buffers: its caller sends the body again, and the server
// would take it twice. A connection that carried a body closes with a reset,
// which discards whatever is still unsent; one whose exchange had ended loses
// nothing by it.
int closeWithReset(void*, curl_socket_t socket, curlsocktype) {
    const linger abortive{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    return CURL_SOCKOPT_OK;
}

long idleSeconds(std::chrono::milliseconds timeout) {
    return std::max(1L, static_cast<long>((timeout.count() + 999) / 1000));
}

// Fills the easy handle from the request. Returns false when libcurl refuses
// an option, which only happens when it runs out of memory.
bool configure(Transfer& transfer) {
    CURL* easy = transfer.easy.get();
    HttpRequest& request = transfer.request;
    curl_slist* list = nullptr;
    // Without this, libcurl delays bodies over 1 KiB waiting for "100 Continue".
    list = curl_slist_append(list, "Expect:");
    for (const auto& [name, value] : request.headers) {
        std::string line = name + ": " + value;
        // libcurl must announce the encodings itself to decode the reply.
        if (!isSameHeaderName(name, "Accept-Encoding")) {
            list = curl_slist_append(list, line.c_str());
        }
    }
    transfer.headerList.reset(list);
    const auto acceptEncoding = findHeader(request.headers, "Accept-Encoding");

    bool ok =
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openCloseOnExecSocket) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(request.timeout.count())) == CURLE_OK &&
        // Two limits end a transfer. Idleness: under one byte a second for the request's
        // timeout (in whole seconds, as libcurl counts). Only body bytes count as moving, so
        // a reply whose header lines trickle in ends here too, a few seconds past the
        // timeout as libcurl averages its speed (12 to 16 s with the default 10 s). And the
        // deadline: however steadily it moves, the whole request ends after `deadline`
        // (one minute by default).
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idleSeconds(request.timeout)) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.deadline.count())) ==
            CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, appendHeader) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
        // A proxy's answer to CONNECT is no reply of the server's.
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer) == CURLE_OK &&
        trustRootsFromEnvironment(easy);
    // Left unset, libcurl takes the proxy from http_proxy, https_proxy and
    // no_proxy, which a host behind a mandatory proxy relies on.
    if (ok && request.proxy) {
        ok = curl_easy_setopt(easy, CURLOPT_PROXY, request.proxy->c_str()) == CURLE_OK;
    }
    if (ok && !request.body.empty()) {
        ok = curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, closeWithReset) == CURLE_OK;
    }
    if (ok && acceptEncoding) {
        ok = curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, acceptEncoding->c_str()) == CURLE_OK;
    }
    if (ok && (request.method != "GET" || !request.body.empty())) {
        ok = curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                              static_cast<curl_off_t>(request.body.size())) == CURLE_OK &&
             curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.c_str()) == CURLE_OK &&
             curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str()) == CURLE_OK;
    }
    return ok;
}

} // namespace

struct HttpTransport::Worker {
    std::mutex mutex;
    std::vector<std::unique_ptr<Transfer>> incoming;
    bool stopping = false;
    CURLM* multi = newCloseOnExecMulti();
    std::vector<std::unique_ptr<Transfer>> running;

    ~Worker() { curl_multi_cleanup(multi); }

    void run() {
        for (;;) {
            std::vector<std::unique_ptr<Transfer>> arrived;
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    break;
                }
                arrived.swap(incoming);
            }
            for (auto& transfer : arrived) {
                start(std::move(transfer));
            }
            int active = 0;
            curl_multi_perform(multi, &active);
            finishCompleted();
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        cancelEverything();
    }

    void start(std::unique_ptr<Transfer> transfer) {
        transfer->started = std::chrono::steady_clock::now();
        transfer->easy.reset(curl_easy_init());
        if (!transfer->easy || !configure(*transfer)) {
            transfer->completeWithError(HttpErrorCode::other, "could not prepare the request");
            return;
        }
        if (curl_multi_add_handle(multi, transfer->easy.get()) != CURLM_OK) {
            transfer->completeWithError(HttpErrorCode::other, "could not start the request");
            return;
        }
        running.push_back(std::move(transfer));
    }

    std::unique_ptr<Transfer> takeRunning(CURL* easy) {
        auto found = std::find_if(running.begin(), running.end(), [&](const auto& transfer) {
            return transfer->easy.get() == easy;
        });
        auto transfer = std::move(*found);
        running.erase(found);
        curl_multi_remove_handle(multi, easy);
        return transfer;
    }

    void finishCompleted() {
        int remaining = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &remaining)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            const CURLcode result = message->data.result;
            auto transfer = takeRunning(message->easy_handle);
            if (result != CURLE_OK && transfer->statusOfCompleteHead &&
                transfer->request.bodyFailure == ReplyBodyFailure::isDropped) {
                transfer->completeWithStatusOfHead();
                continue;
            }
            if (result != CURLE_OK && transfer->bodyTooLong) {
                transfer->completeWithError(
                    HttpErrorCode::other, "reply body longer than " +
                                              std::to_string(*transfer->request.maxResponseBytes) +
                                              " bytes");
                continue;
            }
            if (result == CURLE_OPERATION_TIMEDOUT && !transfer->statusOfCompleteHead) {
                transfer->response.timedOutSendingBody = endedWhileSendingBody(*transfer);
            }
            if (result != CURLE_OK) {
                std::string description = curl_easy_strerror(result);
                if (transfer->errorText[0] != '\0') {
                    description += std::string(": ") + transfer->errorText;
                }
                transfer->completeWithError(errorCodeFor(result), std::move(description));
                continue;
            }
            transfer->completeWithStatus();
        }
    }

    // A cancelled request's completion may send another request; that one is
    // cancelled too, so nothing is left without its one completion.
    void cancelEverything() {
        while (!running.empty()) {
            takeRunning(running.back()->easy.get())
                ->completeWithError(HttpErrorCode::cancelled, "cancelled");
        }
        for (;;) {
            std::vector<std::unique_ptr<Transfer>> arrived;
            {
                std::lock_guard lock(mutex);
                arrived.swap(incoming);
            }
            if (arrived.empty()) {
                return;
            }
            for (auto& transfer : arrived) {
                transfer->completeWithError(HttpErrorCode::cancelled, "cancelled");
            }
        }
    }
};

HttpTransport::HttpTransport() {
    initialiseCurlOnce();
    worker_ = std::make_shared<Worker>();
    thread_ = LibraryThread("davaror.http", [worker = worker_] { worker->run(); });
}

HttpTransport::~HttpTransport() {
    if (!thread_.runsInThisProcess()) {
        // Waking the worker would wake the parent's, through the wake-up pair both share.
        leaveToParent(worker_);
        return;
    }
    {
        std::lock_guard lock(worker_->mutex);
        worker_->stopping = true;
    }
    curl_multi_wakeup(worker_->multi);
    if (thread_.isCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void HttpTransport::send(HttpRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    {
        std::lock_guard lock(worker_->mutex);
        worker_->incoming.push_back(std::move(transfer));
    }
    curl_multi_wakeup(worker_->multi);
}

} // namespace platform::http
