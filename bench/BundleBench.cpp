// Throughput of the secrets bundle and cost of the passphrase derivation.
//
//   BM_SealRawKey / BM_OpenRawKey   64 MiB of secret files (64 files of 1 MiB) sealed from disk (page
//                                   cache) and opened again with a raw key: the whole path, reading,
//                                   Base64, JSON and AES-256-GCM. Bytes processed = file bytes.
//   BM_GcmSeal, BM_Base64*          pieces of that path alone, over the same amount of data.
//   BM_DeriveKey600k                one PBKDF2-HMAC-SHA256 derivation at the default 600,000 iterations.
//
// bench/crypto-compare runs these and sets them against `openssl speed` and `openssl kdf`.

#include "core/FileAccess.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace stowage;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t fileCount = 64;
constexpr std::size_t fileSize = std::size_t{1} << 20;
constexpr std::int64_t totalBytes = static_cast<std::int64_t>(fileCount * fileSize);

/// 64 MiB of random secret files in a temporary folder, made once per process and removed at exit.
class Corpus {
public:
    static Corpus& shared() {
        static Corpus corpus;
        return corpus;
    }
    const std::vector<std::string>& paths() const { return paths_; }
    ~Corpus() {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

private:
    Corpus() {
        std::string pattern = (fs::temp_directory_path() / "stowage-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        folder_ = pattern;
        for (std::size_t i = 0; i < fileCount; ++i) {
            const Bytes data = KDF::randomData(fileSize);
            const std::string path = folder_ + "/secret-" + std::to_string(i);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
            paths_.push_back(path);
        }
    }
    std::string folder_;
    std::vector<std::string> paths_;
};

const SecretsBundle::ProjectLookup noProjects = [](const std::string&, const FileAccessProvider&) {
    return std::optional<ProjectContext>();
};

void BM_SealRawKey(benchmark::State& state) {
    const auto& paths = Corpus::shared().paths();
    const SymmetricKey key = BundleKey::generate();
    const DirectFileAccess access;
    for (auto _ : state) {
        auto sealed = SecretsBundle::seal(paths, KeySource::rawKey(key), access, noProjects);
        benchmark::DoNotOptimize(sealed.blob.data());
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}
BENCHMARK(BM_SealRawKey)->Unit(benchmark::kMillisecond);

void BM_OpenRawKey(benchmark::State& state) {
    const auto& paths = Corpus::shared().paths();
    const SymmetricKey key = BundleKey::generate();
    const Bytes blob = SecretsBundle::seal(paths, KeySource::rawKey(key), DirectFileAccess(), noProjects).blob;
    for (auto _ : state) {
        BundlePayload payload = SecretsBundle::open(blob, key);
        benchmark::DoNotOptimize(payload.files.data());
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}
BENCHMARK(BM_OpenRawKey)->Unit(benchmark::kMillisecond);

void BM_GcmSeal(benchmark::State& state) {
    const Bytes plaintext = KDF::randomData(static_cast<std::size_t>(totalBytes));
    const SymmetricKey key = BundleKey::generate();
    for (auto _ : state) {
        Bytes blob = SecretsBundle::sealRaw(plaintext, key);
        benchmark::DoNotOptimize(blob.data());
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}
BENCHMARK(BM_GcmSeal)->Unit(benchmark::kMillisecond);

void BM_Base64Encode(benchmark::State& state) {
    const Bytes data = KDF::randomData(static_cast<std::size_t>(totalBytes));
    std::string text(base64::encodedLength(data.size()), '\0');
    for (auto _ : state) {
        base64::encodeTo(data.data(), data.size(), text.data());
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}
BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond);

void BM_Base64Decode(benchmark::State& state) {
    const std::string text = base64::encode(KDF::randomData(static_cast<std::size_t>(totalBytes)));
    Bytes out;
    out.reserve(static_cast<std::size_t>(totalBytes));
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(base64::decodeAppend(text, out));
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);

void BM_DeriveKey600k(benchmark::State& state) {
    const Bytes salt = KDF::randomData(KDF::saltBytes);
    for (auto _ : state) {
        SymmetricKey key = KDF::deriveKey("correct horse battery staple", salt, KDF::defaultIterations);
        benchmark::DoNotOptimize(key.data());
    }
}
BENCHMARK(BM_DeriveKey600k)->Unit(benchmark::kMillisecond);

} // namespace
