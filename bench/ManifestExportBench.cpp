// The reinstall-list step of a backup against the package tools of the machine it runs on, one
// tool after another (parallelism 1) and on the bounded pool (4). The tools' own start-up and
// database reads dominate, so the figures say more about the machine than about the code; compare
// the two rows of one run. The lists are written into a temporary folder that is removed again.
#include "core/FileAccess.hpp"
#include "core/ManifestExport.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using namespace stowage;

namespace {

void exportLists(benchmark::State& state) {
    std::string folder = (std::filesystem::temp_directory_path() / "stowage-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    DirectFileAccess access;
    std::size_t lists = 0;
    for (auto _ : state) {
        std::vector<std::string> warnings;
        lists = exportManifests(folder, access, warnings, static_cast<unsigned>(state.range(0))).size();
    }
    state.counters["lists"] = static_cast<double>(lists);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

} // namespace

BENCHMARK(exportLists)->Arg(1)->Arg(4)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
