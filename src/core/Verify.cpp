#include "core/Verify.hpp"

#include "core/BackupError.hpp"
#include "core/Paths.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Wording.hpp"

#include <algorithm>
#include <array>
#include <set>

namespace stowage {

namespace {

/// The first bytes of a passphrase-sealed bundle.
constexpr std::array<std::uint8_t, 4> passphraseMagic = {'S', 'T', 'B', '2'};
/// A random-key bundle is at least a 12-byte nonce and a 16-byte tag around an empty ciphertext.
constexpr size_t smallestRawKeyBundle = 28;
/// How long a deep check waits for the keychain.
constexpr double keychainTimeout = 5.0;

bool looksLikeBundle(const Bytes& bytes) {
    if (bytes.size() >= passphraseMagic.size() &&
        std::equal(passphraseMagic.begin(), passphraseMagic.end(), bytes.begin()))
        return true;
    return bytes.size() >= smallestRawKeyBundle;
}

void newestFirst(std::vector<BackupRun>& runs) {
    std::stable_sort(runs.begin(), runs.end(),
                     [](const BackupRun& a, const BackupRun& b) { return a.createdAt > b.createdAt; });
}

/// Saves the bytes of a damaged history beside it under a name that holds nothing else, so no
/// earlier damaged copy is overwritten. False when they could not be saved.
bool keepAside(const Bytes& damaged, const std::string& root, FileAccessProvider& access) {
    const std::string base = paths::join(root, "history.json.damaged");
    for (int n = 1; n <= 100; ++n) {
        std::string candidate = n == 1 ? base : base + "-" + std::to_string(n);
        if (auto existing = access.read(candidate)) {
            if (*existing == damaged)
                return true;
            continue;
        }
        if (access.exists(candidate) || access.info(candidate))
            continue; // present but unreadable: not ours to replace
        try {
            access.write(damaged, candidate);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    return false;
}

} // namespace

VerifyReport verify(const std::string& dir, const FileAccessProvider& access) {
    const std::string root = paths::expandTilde(dir);
    auto manifestBytes = access.read(paths::join(root, "backup.json"));
    if (!manifestBytes)
        throw BackupError::io("no backup.json in " + paths::abbreviateHome(root));
    BackupManifest manifest = BackupManifest::decode(toString(*manifestBytes));

    VerifyReport report;
    report.checkedConfigs = static_cast<int>(manifest.configs.size());
    for (const ConfigEntry& entry : manifest.configs) {
        // A crafted manifest must not make verification probe outside the folder.
        if (!isSafeStoredPath(entry.storedRelPath))
            report.issues.push_back("config entry points outside the backup: " + entry.storedRelPath);
        else if (!access.exists(paths::join(root, entry.storedRelPath)))
            report.issues.push_back("missing config file: " + entry.storedRelPath);
    }

    if (manifest.hasSecrets) {
        auto bundle = access.read(paths::join(root, "secrets.stowage"));
        if (!bundle) {
            report.issues.push_back("secrets.stowage is missing");
        } else {
            report.checkedSecrets = static_cast<int>(manifest.secretPaths.size());
            if (!looksLikeBundle(*bundle))
                report.issues.push_back("secrets.stowage looks truncated (" + std::to_string(bundle->size()) +
                                        " bytes)");
        }
    }
    return report;
}

VerifyReport verifyDeep(const std::string& dir, const FileAccessProvider& access, const BundleKeyProvider& keyFor) {
    VerifyReport report = verify(dir, access);
    const std::string root = paths::expandTilde(dir);
    auto manifestBytes = access.read(paths::join(root, "backup.json"));
    if (!manifestBytes)
        throw BackupError::io("no backup.json in " + paths::abbreviateHome(root));
    const BackupManifest manifest = BackupManifest::decode(toString(*manifestBytes));
    if (!manifest.hasSecrets)
        return report;
    auto blob = access.read(paths::join(root, "secrets.stowage"));
    if (!blob)
        return report; // verify() has said so

    const bool passphraseBundle = SecretsBundle::isPassphraseBundle(*blob);
    std::optional<KeySource> source = keyFor ? keyFor(passphraseBundle) : std::nullopt;
    if (!source && !passphraseBundle)
        if (auto key = BundleKey::loadFromKeychain(keychainTimeout))
            source = KeySource::rawKey(std::move(*key));
    if (!source) {
        report.issues.push_back(passphraseBundle
                                    ? "secrets.stowage was not opened: no passphrase given"
                                    : wording::localized("secrets.stowage was not opened: no recovery code given and "
                                                         "no key in this machine's keychain"));
        return report;
    }
    BundlePayload payload;
    try {
        payload = SecretsBundle::open(*blob, *source);
    } catch (const std::exception& e) {
        report.issues.push_back(std::string("secrets.stowage does not open: ") + e.what());
        return report;
    }
    std::set<std::string> inside;
    for (BundleFile& file : payload.files) {
        inside.insert(file.path);
        wipeBytes(file.data);
    }
    for (const std::string& path : manifest.secretPaths)
        if (inside.count(path) == 0)
            report.issues.push_back("secret missing from secrets.stowage: " + path);
    return report;
}

std::vector<BackupRun> history(const std::string& dir, const FileAccessProvider& access) {
    auto bytes = access.read(paths::join(paths::expandTilde(dir), "history.json"));
    if (!bytes)
        return {};
    std::vector<BackupRun> runs;
    try {
        runs = decodeHistory(toString(*bytes));
    } catch (const std::exception&) {
        return {};
    }
    newestFirst(runs);
    return runs;
}

void appendHistory(const std::string& root, Timestamp now, const BackupResult& result, FileAccessProvider& access) {
    try {
        const std::string path = paths::join(root, "history.json");
        std::vector<BackupRun> runs;
        if (auto bytes = access.read(path)) {
            try {
                runs = decodeHistory(toString(*bytes));
            } catch (const DecodingError&) {
                // The old runs are lost to this file, but not to the user.
                if (!keepAside(*bytes, root, access))
                    return;
            }
        } else if (access.info(path)) {
            // Present but unreadable: it cannot be kept aside, so it is not replaced either.
            return;
        }
        runs.push_back(BackupRun{now, static_cast<std::int64_t>(result.configFiles.size()),
                                 static_cast<std::int64_t>(result.capturedSecrets.size()),
                                 static_cast<std::int64_t>(result.manifests.size()), result.totalBytes,
                                 result.usedPassphrase});
        newestFirst(runs);
        if (runs.size() > maxHistoryRuns)
            runs.resize(maxHistoryRuns);
        access.write(toBytes(encodeHistory(runs)), path);
    } catch (const std::exception&) {
        // Silent by contract: a history that could not be written costs the user nothing else.
    }
}

} // namespace stowage
