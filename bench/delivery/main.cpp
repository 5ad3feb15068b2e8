// Delivery benchmarks: capture-to-disk throughput against raw file writes,
// the stages of one flush of 50 events, and the delivery rate behind a
// backlog. Google Benchmark's flags apply
// (e.g. --benchmark_filter=flush50); the summary relates whatever ran.
#include "BenchmarkNames.h"
#include "SummaryReporter.h"

#include <benchmark/benchmark.h>

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    try {
        deliverybench::registerCaptureBenchmarks();
        deliverybench::registerFlushBenchmarks();
        deliverybench::registerBacklogBenchmarks();
    } catch (const std::exception& error) {
        std::cerr << "could not prepare the benchmarks: " << error.what() << "\n";
        return 1;
    }
    deliverybench::SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary(std::cout);
    benchmark::Shutdown();
    return 0;
}
