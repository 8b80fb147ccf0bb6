// Timings of the audit's parts on a prepared home folder (see bench/make-home and bench/audit).
// STOWAGE_BENCH_ROOT names the project root to scan; without it every benchmark is skipped.

#include "core/DefaultKnowledgeBase.hpp"
#include "core/FileAccess.hpp"
#include "core/GitRiskScanner.hpp"
#include "core/ProjectScanner.hpp"
#include "core/Scanner.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace stowage;

namespace {

const char* benchRoot() {
    return std::getenv("STOWAGE_BENCH_ROOT");
}

void EnvHunt(benchmark::State& state) {
    if (!benchRoot()) {
        state.SkipWithError("STOWAGE_BENCH_ROOT is not set");
        return;
    }
    Scanner scanner({}, {benchRoot()}, 400, {}, std::make_shared<DirectFileAccess>());
    size_t found = 0;
    for (auto _ : state)
        found = scanner.scanEnvFiles().size();
    state.counters["envFiles"] = static_cast<double>(found);
}

void GitRiskScan(benchmark::State& state) {
    if (!benchRoot()) {
        state.SkipWithError("STOWAGE_BENCH_ROOT is not set");
        return;
    }
    GitRiskScanner scanner({benchRoot()}, std::make_shared<DirectFileAccess>());
    size_t risks = 0;
    for (auto _ : state)
        risks = scanner.scan().size();
    state.counters["risks"] = static_cast<double>(risks);
}

void ProjectScan(benchmark::State& state) {
    if (!benchRoot()) {
        state.SkipWithError("STOWAGE_BENCH_ROOT is not set");
        return;
    }
    ProjectScanner scanner({benchRoot()}, std::make_shared<DirectFileAccess>());
    size_t projects = 0;
    for (auto _ : state)
        projects = scanner.scan().size();
    state.counters["projects"] = static_cast<double>(projects);
}

} // namespace

BENCHMARK(EnvHunt)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(GitRiskScan)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(ProjectScan)->Unit(benchmark::kMillisecond)->Iterations(3);
