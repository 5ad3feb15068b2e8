// Helpers for the API client's tests: completions that record what they were
// given, how often and on which thread; a port nobody listens on; error
// inspection.
#pragma once

#include "DavaRor/delivery/DavaRorApi.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

template <typename Result> class RecordedCompletion {
public:
    void record(Result result) {
        std::lock_guard lock(mutex_);
        ++calls_;
        result_ = std::move(result);
        thread_ = std::this_thread::get_id();
        called_.notify_all();
    }

    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return called_.wait_for(lock, timeout, [&] { return calls_ > 0; });
    }

    // Waits, then gives later duplicate calls a moment to show up.
    int callsAfterSettling() {
        wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard lock(mutex_);
        return calls_;
    }

    Result result() {
        std::lock_guard lock(mutex_);
        return result_;
    }

    std::thread::id thread() {
        std::lock_guard lock(mutex_);
        return thread_;
    }

private:
    std::mutex mutex_;
    std::condition_variable called_;
    int calls_ = 0;
    Result result_{};
    std::thread::id thread_;
};

struct JsonResult {
    std::optional<nlohmann::json> object;
    std::exception_ptr error;
};

class BatchRecorder : public RecordedCompletion<DavaRorBatchUploadInfo> {
public:
    DavaRorApi::BatchCompletion completion() {
        return [this](DavaRorBatchUploadInfo info) { record(std::move(info)); };
    }
};

class JsonRecorder : public RecordedCompletion<JsonResult> {
public:
    DavaRorApi::JsonCompletion completion() {
        return [this](std::optional<nlohmann::json> object, std::exception_ptr error) {
            record({std::move(object), std::move(error)});
        };
    }
};

// A port on which nothing listens: bound once, then released.
inline std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The error as `Error`, or none when it is no error or another kind.
template <typename Error> std::optional<Error> errorAs(const std::exception_ptr& error) {
    if (!error) {
        return std::nullopt;
    }
    try {
        std::rethrow_exception(error);
    } catch (const Error& caught) {
        return caught;
    } catch (...) {
        return std::nullopt;
    }
}
