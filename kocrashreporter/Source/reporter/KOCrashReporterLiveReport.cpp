// Live reports: the crash log writer run on demand, without a crash, into a temporary file that
// is read back and deleted. The writer parks every other thread while it writes, so two live
// reports at once would park each other: they take turns.
#include "reporter/KOCrashReporter.h"

#include "KOCrashLog.h"
#include "async/KOCrashAsyncError.h"
#include "log/KOCrashLogWriter.h"
#include "platform/mach/MachPorts.h"
#include "reporter/KOCrashReporterFiles.h"
#include "reporter/KOCrashUncaughtException.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

using kocrash::shared_image_list;

using platform::mach::mach_thread_self;

namespace {

constexpr int kSIGTRAP = 5;
constexpr int kTrapTrace = 2;

std::mutex liveReportLock;

struct WriterDeleter {
    void operator()(kocrash_log_writer* writer) const {
        kocrash_log_writer_free(writer);
        delete writer;
    }
};
using OwnedWriter = std::unique_ptr<kocrash_log_writer, WriterDeleter>;

class TemporaryReportFile {
public:
    TemporaryReportFile() {
        std::error_code noFolder;
        const std::filesystem::path folder = std::filesystem::temp_directory_path(noFolder);
        if (noFolder) {
            errorNumber_ = noFolder.value();
            return;
        }
        path_ = (folder / "live_crash_report.XXXXXX").string();
        fd_ = mkostemp(path_.data(), O_CLOEXEC);
        errorNumber_ = fd_ < 0 ? errno : 0;
    }
    ~TemporaryReportFile() {
        if (fd_ >= 0 && unlink(path_.c_str()) != 0) {
            kocrash_log("[KOCrashReporter] Failure occured deleting live crash report: %s",
                        std::strerror(errno));
        }
    }
    TemporaryReportFile(const TemporaryReportFile&) = delete;
    TemporaryReportFile& operator=(const TemporaryReportFile&) = delete;

    // -1 when the file could not be made; errorNumber() tells why.
    int fd() const { return fd_; }
    int errorNumber() const { return errorNumber_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    int errorNumber_ = 0;
};

struct LiveWrite {
    kocrash_log_writer* writer;
    thread_t thread;
    kocrash_async_file* file;
    const kocrash_log_signal_info* signal_info;
    bool ran;
};

kocrash_error_t kocr_live_report_callback(kocrash_async_thread_state* state, void* argument) {
    auto* write = static_cast<LiveWrite*>(argument);
    write->ran = true;
    return kocrash_log_writer_write(write->writer, write->thread, &shared_image_list, write->file,
                                    write->signal_info, state);
}

} // namespace

std::optional<KOCrashReportData> KOCrashReporter::writeLiveReport(thread_t thread,
                                                                  std::exception_ptr exception,
                                                                  std::uint64_t callerAddress,
                                                                  std::optional<KOError>* error) {
    std::lock_guard turn(liveReportLock);
    TemporaryReportFile temporary;
    if (temporary.fd() < 0) {
        kocrash_populate_posix_error(error, temporary.errorNumber(),
                                     "Failed to create temporary path");
        return std::nullopt;
    }
    OwnedWriter writer(new kocrash_log_writer{});
    kocrash_log_writer_init(writer.get(), applicationIdentifier_, applicationVersion_,
                            applicationMarketingVersion_,
                            mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), true);
    kocrash_async_file file;
    kocrash_async_file_init(&file, temporary.fd(), config_.maxReportBytes());
    if (auto data = customData()) {
        kocrash_log_writer_set_custom_data(writer.get(), std::span<const std::uint8_t>(*data));
    }
    if (auto description = kocrash_describe_exception(exception)) {
        kocrash_log_writer_set_exception(writer.get(), description->name, description->reason, {});
    }
    const kocrash_async_signal_info bsd{kSIGTRAP, kTrapTrace, callerAddress};
    const kocrash_log_signal_info signalInfo{&bsd, nullptr};
    LiveWrite write{writer.get(), thread, &file, &signalInfo, false};
    if (thread == mach_thread_self()) {
        kocrash_async_thread_state_current(kocr_live_report_callback, &write);
        if (!write.ran) {
            // No thread-state layout for this machine: the thread is listed without registers.
            kocrash_async_thread_state state;
            kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
            kocr_live_report_callback(&state, &write);
        }
    } else {
        kocrash_log_writer_write(writer.get(), thread, &shared_image_list, &file, &signalInfo,
                                 nullptr);
    }
    kocrash_log_writer_close(writer.get());
    // A file the size cap cut short is unreadable past the cut: it is a failure, not a report.
    if (!kocrash_async_file_close(&file)) {
        kocrash_log("[KOCrashReporter] Write failed with error %s",
                    kocrash_async_strerror(KOCRASH_OUTPUT_ERR));
        kocrash_populate_error(error, KOCrashReporterErrorOther,
                               "Failed to write the crash report to disk");
        return std::nullopt;
    }
    auto data = kocrash_reporter_read_report(temporary.path(), config_.maxReportBytes(), nullptr);
    if (!data) {
        kocrash_populate_error(error, KOCrashReporterErrorOther,
                               "Unable to open live crash report for reading");
    }
    return data;
}

// Each form is marked noinline so that the report's address is the return address into the
// code that asked for it.
[[gnu::noinline]] std::optional<KOCrashReportData>
KOCrashReporter::generateLiveReportWithThread(thread_t thread, std::exception_ptr exception,
                                              std::optional<KOError>* error) {
    return writeLiveReport(thread, std::move(exception),
                           reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), error);
}

[[gnu::noinline]] std::optional<KOCrashReportData>
KOCrashReporter::generateLiveReportWithThread(thread_t thread, std::optional<KOError>* error) {
    return writeLiveReport(thread, nullptr,
                           reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), error);
}

[[gnu::noinline]] std::optional<KOCrashReportData>
KOCrashReporter::generateLiveReportWithThread(thread_t thread) {
    return writeLiveReport(thread, nullptr,
                           reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), nullptr);
}

[[gnu::noinline]] std::optional<KOCrashReportData>
KOCrashReporter::generateLiveReportWithException(std::exception_ptr exception,
                                                 std::optional<KOError>* error) {
    return writeLiveReport(mach_thread_self(), std::move(exception),
                           reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), error);
}

[[gnu::noinline]] std::optional<KOCrashReportData>
KOCrashReporter::generateLiveReportAndReturnError(std::optional<KOError>* error) {
    return writeLiveReport(mach_thread_self(), nullptr,
                           reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), error);
}

[[gnu::noinline]] std::optional<KOCrashReportData> KOCrashReporter::generateLiveReport() {
    return writeLiveReport(mach_thread_self(), nullptr,
                           reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), nullptr);
}
