// Line diffs of the largest files compared line by line (LineDiff::maxBytes per side), made of
// one-character lines: 131,072 lines each, far beyond the table budget. Peak memory is measured
// from outside, e.g. /usr/bin/time -v ./DiffBench --benchmark_filter=Random.
#include "core/Diff.hpp"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

using namespace stowage;

namespace {

constexpr std::size_t fullLines = LineDiff::maxBytes / 2;

std::string randomText(std::mt19937& rng, std::size_t lines, char first, int alphabet) {
    std::uniform_int_distribution<int> pick(0, alphabet - 1);
    std::string text;
    text.reserve(lines * 2);
    for (std::size_t k = 0; k < lines; ++k) {
        text += static_cast<char>(first + pick(rng));
        text += '\n';
    }
    return text;
}

void runUnified(benchmark::State& state, const std::string& oldText, const std::string& newText,
                const LineDiff::Options& options = {}) {
    for (auto _ : state) {
        auto result = LineDiff::unified(oldText, newText, 3, options);
        benchmark::DoNotOptimize(result);
        state.counters["added"] = static_cast<double>(result.added);
        state.counters["removed"] = static_cast<double>(result.removed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(oldText.size() + newText.size()));
}

/// Unrelated files over a small alphabet: the most common lines, the most work per row.
void BM_Diff256KiBRandom(benchmark::State& state) {
    std::mt19937 rng(1);
    const std::string a = randomText(rng, fullLines, 'a', static_cast<int>(state.range(0)));
    const std::string b = randomText(rng, fullLines, 'a', static_cast<int>(state.range(0)));
    runUnified(state, a, b);
}
BENCHMARK(BM_Diff256KiBRandom)->Arg(2)->Arg(4)->Arg(26)->Unit(benchmark::kMillisecond)->UseRealTime();

/// One file of "x" lines against the same file with every 131st line replaced: a typical edit
/// pattern spread over the whole file.
void BM_Diff256KiBScatteredEdits(benchmark::State& state) {
    std::string a, b;
    for (std::size_t k = 0; k < fullLines; ++k) {
        a += "x\n";
        b += k % 131 == 7 ? "y\n" : "x\n";
    }
    runUnified(state, a, b);
}
BENCHMARK(BM_Diff256KiBScatteredEdits)->Unit(benchmark::kMillisecond)->UseRealTime();

/// No line in common at all.
void BM_Diff256KiBDisjoint(benchmark::State& state) {
    std::mt19937 rng(2);
    runUnified(state, randomText(rng, fullLines, 'a', 4), randomText(rng, fullLines, 'k', 4));
}
BENCHMARK(BM_Diff256KiBDisjoint)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Both algorithms on the largest inputs the table is used for (4095 × 4095 lines).
void BM_DiffAtTableBudget(benchmark::State& state) {
    std::mt19937 rng(3);
    const std::string a = randomText(rng, 4095, 'a', 4);
    const std::string b = randomText(rng, 4095, 'a', 4);
    LineDiff::Options options;
    options.algorithm = state.range(0) == 0 ? LineDiff::Algorithm::table : LineDiff::Algorithm::bitParallel;
    state.SetLabel(state.range(0) == 0 ? "table" : "bitParallel");
    runUnified(state, a, b, options);
}
BENCHMARK(BM_DiffAtTableBudget)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
