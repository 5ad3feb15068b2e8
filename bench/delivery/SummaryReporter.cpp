#include "SummaryReporter.h"

#include "BenchmarkNames.h"

#include <unistd.h>

#include <iomanip>
#include <sstream>
#include <string>

namespace deliverybench {

namespace {

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
        auto& entry = measured_[{run.run_name.function_name, static_cast<int>(run.threads)}];
        const auto items = run.counters.find("items_per_second");
        const double itemsPerSecond = items == run.counters.end() ? 0 : items->second.value;
        const double seconds =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        entry.itemsPerSecond =
            (entry.itemsPerSecond * entry.runs + itemsPerSecond) / (entry.runs + 1);
        entry.realSecondsPerIteration =
            (entry.realSecondsPerIteration * entry.runs + seconds) / (entry.runs + 1);
        ++entry.runs;
    }
    ConsoleReporter::ReportRuns(reports);
}

const SummaryReporter::Measured* SummaryReporter::find(const std::string& name, int threads) const {
    const auto found = measured_.find({name, threads});
    return found == measured_.end() ? nullptr : &found->second;
}

void SummaryReporter::printSummary(std::ostream& out) const {
    out << std::fixed;
    printCapture(out);
    printFlush(out);
}

void SummaryReporter::printCapture(std::ostream& out) const {
    out << "\nCapture to disk, events/s (ratio = client / raw write of the same bytes)\n"
        << "threads     raw write     queue add  ratio   sdk capture  ratio\n";
    for (int threads : captureThreadCounts) {
        const Measured* raw = find(rawWrite, threads);
        const Measured* queue = find(queueAdd, threads);
        const Measured* client = find(sdkCapture, threads);
        if (raw == nullptr && queue == nullptr && client == nullptr) {
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
        if (const Measured* measured = find(stage)) {
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
        if (const Measured* measured = find(stage)) {
            const double seconds = measured->realSecondsPerIteration;
            out << std::left << std::setw(22) << stage << std::right << std::setw(10)
                << seconds * 1e6 << std::setw(8) << 100 * seconds / stagesSeconds << "%\n";
        }
    }
    out << std::left << std::setw(22) << "sum of the stages" << std::right << std::setw(10)
        << stagesSeconds * 1e6 << "\n";
    if (const Measured* whole = find(flushWhole)) {
        out << std::left << std::setw(22) << flushWhole << std::right << std::setw(10)
            << whole->realSecondsPerIteration * 1e6 << "  (whole / sum of the stages = "
            << ratio(whole->realSecondsPerIteration, stagesSeconds) << ")\n";
    }
}

} // namespace deliverybench
