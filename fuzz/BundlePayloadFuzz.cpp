// The decrypted document of a secrets bundle: SecretsBundle::decodePayload on arbitrary text.
//
// Checks beyond "no crash, no sanitizer report":
// - the only exception a damaged document may raise is BundleDecodingError;
// - whatever decodes re-encodes without throwing and decodes to the same payload (the creation time
//   may move by rounding, never by more than a microsecond);
// - a dry-run restore of the decoded files under a prefix either refuses the payload with
//   BackupError or plans every write strictly inside the prefix folder.

#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/Paths.hpp"
#include "core/SecretsBundle.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

/// An empty folder that outlives the run; dry runs only look at it.
const std::string& prefixFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/stowage-fuzz-prefix-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr)
            broken("cannot create the prefix folder");
        return std::string(made);
    }();
    return folder;
}

void checkRestoreUnderPrefix(const BundlePayload& payload) {
    DirectFileAccess access;
    const std::string& prefix = prefixFolder();
    std::vector<RestoreOutcome> outcomes;
    try {
        outcomes = SecretsBundle::restore(payload, std::nullopt, ConflictPolicy::writeBeside, std::nullopt,
                                          std::nullopt, prefix, /*dryRun=*/true, access);
    } catch (const BackupError&) {
        return; // refused: a path that would leave the prefix
    }
    if (outcomes.size() != payload.files.size())
        broken("a dry run skipped a file without a selection");
    for (const RestoreOutcome& outcome : outcomes) {
        if (!outcome.writtenPath)
            broken("a dry run into an empty folder planned no write");
        const std::string& written = *outcome.writtenPath;
        if (!paths::isUnder(written, prefix) || written == prefix)
            broken("a restore under a prefix planned a write outside the prefix folder");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    BundlePayload payload;
    try {
        payload = SecretsBundle::decodePayload(text);
    } catch (const BundleDecodingError&) {
        return 0;
    }

    std::string encoded;
    try {
        encoded = SecretsBundle::encodePayload(payload);
    } catch (const std::exception&) {
        broken("a decoded payload could not be encoded again");
    }
    BundlePayload again;
    try {
        again = SecretsBundle::decodePayload(encoded);
    } catch (const BundleDecodingError&) {
        broken("an encoded payload could not be decoded");
    }
    if (again.version != payload.version || again.files != payload.files)
        broken("a payload changed through encode and decode");
    const auto drift = again.createdAt - payload.createdAt;
    if (drift > std::chrono::microseconds(1) || drift < -std::chrono::microseconds(1))
        broken("the creation time moved through encode and decode");

    checkRestoreUnderPrefix(payload);
    return 0;
}
