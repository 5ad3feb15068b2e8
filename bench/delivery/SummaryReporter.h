// Prints every run as the console reporter does, remembers the results, and
// at the end relates them: capture throughput as a ratio to raw file writes,
// each flush stage as a share of the whole flush, and the delivery rate
// behind a large backlog as a ratio to the rate behind a small one.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace deliverybench {

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Coloured only on a terminal, so a saved run reads cleanly.
    SummaryReporter();
    void ReportRuns(const std::vector<Run>& reports) override;
    void printSummary(std::ostream& out) const;

private:
    struct Measured {
        double itemsPerSecond = 0;
        double realSecondsPerIteration = 0;
    };
    // The median of every run of a benchmark at a thread count (several with
    // --benchmark_repetitions): one run that met a stalled or an idle disk
    // does not move it.
    std::optional<Measured> find(const std::string& name, int threads = 1) const;
    void printCapture(std::ostream& out) const;
    void printFlush(std::ostream& out) const;
    void printBacklog(std::ostream& out) const;

    std::map<std::pair<std::string, int>, std::vector<Measured>> measured_;
};

} // namespace deliverybench
