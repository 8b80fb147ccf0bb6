// A small stand-in for libFuzzer so that every fuzz target also builds with the normal compiler and
// runs in the test suite: it feeds each file of the given folders (the checked-in seeds, and with
// them every crash input kept as a regression case) to LLVMFuzzerTestOneInput, then random
// mutations of those seeds until the time budget is spent. There is no coverage guidance; the deep
// search is fuzz/run's job. A broken invariant aborts, which fails the test.
//
//   <Target>Replay [--seconds N] [--seed S] folder-or-file ...
//
// The seed is printed so that a failing run can be repeated; STOWAGE_FUZZ_SEED overrides it.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Input = std::vector<std::uint8_t>;

void run(const Input& input) {
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
}

Input readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// One to four edits of the kinds that find parser faults: flipped bits, interesting bytes, a
/// deleted or repeated run, a run spliced in from another seed, a cut end.
Input mutate(Input input, const std::vector<Input>& seeds, std::mt19937_64& random) {
    static const std::uint8_t interesting[] = {0,   0x7f, 0x80, 0xff, '\n', '\r', '"', '\\', '[', ']',
                                               '=', ';',  '/',  '.',  '%',  '$',  '{', '}',  ':', ','};
    auto pick = [&random](std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const std::size_t edits = 1 + pick(4);
    for (std::size_t e = 0; e < edits; ++e) {
        switch (pick(6)) {
        case 0:
            if (!input.empty())
                input[pick(input.size())] ^= static_cast<std::uint8_t>(1u << pick(8));
            break;
        case 1:
            if (!input.empty())
                input[pick(input.size())] = interesting[pick(sizeof interesting)];
            else
                input.push_back(interesting[pick(sizeof interesting)]);
            break;
        case 2:
            if (!input.empty()) {
                const std::size_t at = pick(input.size());
                const std::size_t n = 1 + pick(std::min<std::size_t>(16, input.size() - at));
                input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                            input.begin() + static_cast<std::ptrdiff_t>(at + n));
            }
            break;
        case 3:
            if (!input.empty() && input.size() < 1 << 16) {
                const std::size_t at = pick(input.size());
                const std::size_t n = 1 + pick(std::min<std::size_t>(64, input.size() - at));
                Input run(input.begin() + static_cast<std::ptrdiff_t>(at),
                          input.begin() + static_cast<std::ptrdiff_t>(at + n));
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(pick(input.size() + 1)), run.begin(),
                             run.end());
            }
            break;
        case 4: {
            const Input& other = seeds[pick(seeds.size())];
            if (!other.empty() && input.size() < 1 << 16) {
                const std::size_t at = pick(other.size());
                const std::size_t n = 1 + pick(std::min<std::size_t>(256, other.size() - at));
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(pick(input.size() + 1)),
                             other.begin() + static_cast<std::ptrdiff_t>(at),
                             other.begin() + static_cast<std::ptrdiff_t>(at + n));
            }
            break;
        }
        default:
            input.resize(pick(input.size() + 1));
            break;
        }
    }
    return input;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 2;
    std::uint64_t seed = std::random_device{}();
    if (const char* fixed = std::getenv("STOWAGE_FUZZ_SEED"))
        seed = std::strtoull(fixed, nullptr, 10);
    std::vector<std::filesystem::path> sources;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else
            sources.emplace_back(arg);
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);

    std::vector<Input> seeds;
    for (const auto& source : sources) {
        std::error_code ec;
        if (std::filesystem::is_directory(source, ec)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(source))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files)
                seeds.push_back(readFile(file));
        } else {
            seeds.push_back(readFile(source));
        }
    }
    for (const Input& input : seeds)
        run(input);
    if (seeds.empty())
        seeds.emplace_back();

    std::printf("replayed %zu seeds; mutating for %.1f s with seed %llu\n", seeds.size(), seconds,
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    std::mt19937_64 random(seed);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::size_t runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (int batch = 0; batch < 64; ++batch, ++runs)
            run(mutate(seeds[runs % seeds.size()], seeds, random));
    }
    std::printf("%zu mutated inputs, no invariant broken\n", runs);
    return 0;
}
