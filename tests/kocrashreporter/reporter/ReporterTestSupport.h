// Forked children that enable a reporter and really crash, and the "next launch" that finds
// what they left: a reporter over the same folder, and the decoded pending report.
#pragma once

#include "KOCrashReport.h"
#include "reporter/KOCrashReporter.h"
#include "support/TemporaryDirectory.h"

#include <functional>
#include <optional>

namespace reportertest {

struct ChildEnd {
    // 0 when the child exited.
    int signal;
    int exitCode;
};

// Runs body in a forked child, which exits 0 when body returns. A child that hangs is ended
// by SIGALRM, which no test expects.
ChildEnd runChild(const std::function<void()>& body);

// A report folder of its own and reporters over it, all with one application identity.
class ReportFolder {
public:
    KOCrashReporterConfig
    config(KOCrashReporterSignalHandlerType type = KOCrashReporterSignalHandlerTypeBSD,
           KOCrashReporterSymbolicationStrategy strategy =
               KOCrashReporterSymbolicationStrategySymbolTable,
           std::uint64_t maxReportBytes = KOCrashReporterDefaultMaxReportBytes) const;
    KOCrashReporter reporter(const KOCrashReporterConfig& config) const;
    KOCrashReporter reporter() const { return reporter(config()); }
    // The next launch: the pending report decoded, or none (with a test failure) when there is
    // none or it does not decode.
    std::optional<KOCrashReport> loadPendingReport() const;
    // The report of a later crash that took over from a whole one, decoded, or none (with a
    // test failure).
    std::optional<KOCrashReport> loadLaterReport() const;

    // The child's threads just before it crashes (the emulator adds threads of its own).
    void recordThreadCount() const;
    std::size_t recordedThreadCount() const;

private:
    testsupport::TemporaryDirectory directory_;
};

// The number of threads of the calling process.
int threadCount();

} // namespace reportertest
