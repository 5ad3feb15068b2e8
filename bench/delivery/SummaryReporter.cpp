#include "SummaryReporter.h"

#include "BenchmarkNames.h"

#include <unistd.h>

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <string>

namespace deliverybench {

namespace {

template <typename Sample>
double median(const std::vector<Sample>& samples, double Sample::*field) {
    std::vector<double> values;
    for (const auto& sample : samples) {
        values.push_back(sample.*field);
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string ratio(double part, double whole) {
    if (whole <= 0 || part <= 0) {
        return "-";
    }
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << part / whole;
    return text.str();
}

} // namespace

SummaryReporter::SummaryReporter()
    : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void SummaryReporter::ReportRuns(const std::vector<Run>& reports) {
    for (const auto& run : reports) {
        if (run.run_type != Run::RT_Iteration || run.error_occurred) {
            continue;
        }
        const auto items = run.counters.find("items_per_second");
        measured_[{run.run_name.function_name, static_cast<int>(run.threads)}].push_back({
            items == run.counters.end() ? 0 : items->second.value,
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit),
        });
    }
    ConsoleReporter::ReportRuns(reports);
}

std::optional<SummaryReporter::Measured> SummaryReporter::find(const std::string& name,
                                                               int threads) const {
    const auto found = measured_.find({name, threads});
    if (found == measured_.end() || found->second.empty()) {
        return std::nullopt;
    }
    return Measured{median(found->second, &Measured::itemsPerSecond),
                    median(found->second, &Measured::realSecondsPerIteration)};
}

void SummaryReporter::printSummary(std::ostream& out) const {
    out << std::fixed;
    printCapture(out);
    printFlush(out);
    printBacklog(out);
}

void SummaryReporter::printCapture(std::ostream& out) const {
    out << "\nCapture to disk, events/s (ratio = client / raw write of the same bytes)\n"
        << "threads     raw write     queue add  ratio   sdk capture  ratio\n";
    for (int threads : captureThreadCounts) {
        const auto raw = find(rawWrite, threads);
        const auto queue = find(queueAdd, threads);
        const auto client = find(sdkCapture, threads);
        if (!raw && !queue && !client) {
            continue;
        }
        const double rawRate = raw ? raw->itemsPerSecond : 0;
        const double queueRate = queue ? queue->itemsPerSecond : 0;
        const double clientRate = client ? client->itemsPerSecond : 0;
        out << std::setprecision(0) << std::setw(7) << threads << std::setw(14) << rawRate
            << std::setw(14) << queueRate << std::setw(7) << ratio(queueRate, rawRate)
            << std::setw(14) << clientRate << std::setw(7) << ratio(clientRate, rawRate) << "\n";
    }
}

void SummaryReporter::printFlush(std::ostream& out) const {
    double stagesSeconds = 0;
    for (const char* stage : flushStages) {
        if (const auto measured = find(stage)) {
            stagesSeconds += measured->realSecondsPerIteration;
        }
    }
    if (stagesSeconds <= 0) {
        return;
    }
    out << "\nOne flush of " << flushBatchSize
        << " events, microseconds (share of the stages' sum)\n"
        << std::setprecision(1);
    for (const char* stage : flushStages) {
        if (const auto measured = find(stage)) {
            const double seconds = measured->realSecondsPerIteration;
            out << std::left << std::setw(22) << stage << std::right << std::setw(10)
                << seconds * 1e6 << std::setw(8) << 100 * seconds / stagesSeconds << "%\n";
        }
    }
    out << std::left << std::setw(22) << "sum of the stages" << std::right << std::setw(10)
        << stagesSeconds * 1e6 << "\n";
    if (const auto whole = find(flushWhole)) {
        out << std::left << std::setw(22) << flushWhole << std::right << std::setw(10)
            << whole->realSecondsPerIteration * 1e6 << "  (whole / sum of the stages = "
            << ratio(whole->realSecondsPerIteration, stagesSeconds) << ")\n";
    }
}

void SummaryReporter::printBacklog(std::ostream& out) const {
    const auto small = find(backlogSmall);
    const auto large = find(backlogLarge);
    if (!small || !large) {
        return;
    }
    out << "\nDelivery behind a backlog, events/s\n"
        << std::setprecision(0) << std::setw(9) << smallBacklog << " queued " << std::setw(10)
        << small->itemsPerSecond << "\n"
        << std::setw(9) << largeBacklog << " queued " << std::setw(10) << large->itemsPerSecond
        << "  (ratio to " << smallBacklog
        << " queued = " << ratio(large->itemsPerSecond, small->itemsPerSecond) << ")\n";
}

} // namespace deliverybench
