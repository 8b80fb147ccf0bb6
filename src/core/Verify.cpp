#include "core/Verify.hpp"

#include "core/BackupError.hpp"
#include "core/BackupJournal.hpp"
#include "core/Paths.hpp"
#include "core/RestoreEngine.hpp"
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
        if (auto existing = access.readAtMost(candidate, maxStoredJsonBytes, nullptr)) {
            if (*existing == damaged)
                return true;
            continue;
        }
        if (access.exists(candidate) || access.info(candidate))
            continue; // present but unreadable: not ours to replace
        try {
            access.write(damaged, candidate, std::uint16_t{0600});
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    return false;
}

} // namespace

namespace {

/// The checks of one verification. Each check adds its issues in manifest order; a deep check of
/// the bundle's content belongs beside checkBundle.
class Verifier {
public:
    Verifier(std::string root, const BackupManifest& manifest, const FileAccessProvider& access)
        : root_(std::move(root)), manifest_(manifest), access_(access), journal_(BackupJournal::read(root_, access_)) {}

    VerifyReport run() {
        checkPaths();
        checkEntries();
        checkStoredFiles();
        checkBundle();
        return std::move(report_);
    }

private:
    void issue(std::string text) {
        // One fault seen by two checks (an entry and its file) is reported once.
        if (std::find(report_.issues.begin(), report_.issues.end(), text) == report_.issues.end())
            report_.issues.push_back(std::move(text));
    }

    /// Every path restore refuses, with the sentence restore refuses it with; an entry with an
    /// unsafe path is not looked for in the folder.
    void checkPaths() {
        auto absolute = [&](const std::string& path) {
            if (!RestoreEngine::isSafeAbsolutePath(path))
                issue("unsafe path in backup.json: " + path);
        };
        auto relative = [&](const std::string& path) {
            if (!RestoreEngine::isSafeRelativePath(path))
                issue("unsafe path in backup.json: " + path);
        };
        for (const ConfigEntry& entry : manifest_.configs) {
            absolute(entry.originalPath);
            relative(entry.storedRelPath);
        }
        if (manifest_.projects)
            for (const ProjectEntry& entry : *manifest_.projects) {
                absolute(entry.originalPath);
                relative(entry.storedRelPath);
            }
        for (const std::string& path : manifest_.secretPaths)
            absolute(path);
        if (manifest_.homeFolder && *manifest_.homeFolder != "/")
            absolute(*manifest_.homeFolder);
        if (manifest_.storedFiles)
            for (const StoredFile& file : *manifest_.storedFiles)
                relative(file.path);
    }

    /// Whether a folder on the way to `relPath` (or the path itself) is a symbolic link, which
    /// restore refuses to read through. Folders found plain are remembered.
    bool throughLink(const std::string& relPath) {
        std::string path = root_;
        size_t start = 0;
        while (start < relPath.size()) {
            size_t end = relPath.find('/', start);
            if (end == std::string::npos)
                end = relPath.size();
            path = paths::join(path, relPath.substr(start, end - start));
            if (end != relPath.size() && plainFolders_.count(path) != 0) {
                start = end + 1;
                continue;
            }
            auto info = access_.info(path);
            if (!info)
                return false;
            if (info->isSymlink)
                return true;
            if (end != relPath.size())
                plainFolders_.insert(path);
            start = end + 1;
        }
        return false;
    }

    /// A stored entry: present, and not reached through a link.
    void checkEntry(const std::string& storedRelPath, const std::string& missingText) {
        if (!RestoreEngine::isSafeRelativePath(storedRelPath))
            return;
        if (throughLink(storedRelPath))
            issue("symbolic link in backup folder: " + storedRelPath);
        else if (!access_.exists(paths::join(root_, storedRelPath)))
            issue(missingText + storedRelPath);
    }

    void checkEntries() {
        report_.checkedConfigs = static_cast<int>(manifest_.configs.size());
        for (const ConfigEntry& entry : manifest_.configs)
            checkEntry(entry.storedRelPath, "missing config file: ");
        if (manifest_.projects)
            for (const ProjectEntry& entry : *manifest_.projects)
                checkEntry(entry.storedRelPath, "missing project folder: ");
    }

    /// Size and content of every file the run recorded (manifests written before files were
    /// recorded list none).
    void checkStoredFiles() {
        if (!manifest_.storedFiles)
            return;
        for (const StoredFile& file : *manifest_.storedFiles) {
            if (!RestoreEngine::isSafeRelativePath(file.path))
                continue;
            ++report_.checkedFiles;
            if (throughLink(file.path)) {
                issue("symbolic link in backup folder: " + file.path);
                continue;
            }
            const std::string path = paths::join(root_, file.path);
            auto info = access_.info(path);
            if (!info) {
                issue("missing file: " + file.path);
                continue;
            }
            if (info->isDirectory) {
                issue("not a file: " + file.path);
                continue;
            }
            if (info->size != file.size && !journaled(file.path, info->size)) {
                issue("wrong size: " + file.path + " (" + std::to_string(info->size) + " bytes, expected " +
                      std::to_string(file.size) + ")");
                continue;
            }
            auto bytes = access_.readAtMost(path, info->size, nullptr);
            if (!bytes)
                issue("unreadable file: " + file.path);
            else if (!matches(file.path, file.size, file.sha256, *bytes))
                issue("damaged file: " + file.path + " (its SHA-256 does not match backup.json)");
        }
    }

    /// Whether a later run that never finished recorded a file of this size for `path`.
    bool journaled(const std::string& path, std::int64_t size) const {
        auto [from, to] = journal_.equal_range(path);
        return std::any_of(from, to, [&](const auto& entry) { return entry.second.first == size; });
    }

    /// The bytes are what backup.json records, or what a later, unfinished run recorded for them.
    bool matches(const std::string& path, std::int64_t size, const std::string& sha256, const Bytes& bytes) const {
        const std::string digest = sha256Hex(bytes);
        const auto actual = static_cast<std::int64_t>(bytes.size());
        if (actual == size && digest == sha256)
            return true;
        auto [from, to] = journal_.equal_range(path);
        return std::any_of(
            from, to, [&](const auto& entry) { return entry.second.first == actual && entry.second.second == digest; });
    }

    void checkBundle() {
        if (!manifest_.hasSecrets)
            return;
        const std::string path = paths::join(root_, "secrets.stowage");
        auto info = access_.info(path);
        if (info && !info->isSymlink && manifest_.secretsSize && info->size != *manifest_.secretsSize &&
            !journaled("secrets.stowage", info->size)) {
            report_.checkedSecrets = static_cast<int>(manifest_.secretPaths.size());
            issue("secrets.stowage has the wrong size (" + std::to_string(info->size) + " bytes, expected " +
                  std::to_string(*manifest_.secretsSize) + ")");
            return;
        }
        bool tooLarge = false;
        const std::int64_t cap = info && !info->isSymlink && journaled("secrets.stowage", info->size)
                                     ? info->size
                                     : manifest_.secretsSize.value_or(maxUnrecordedBundleBytes);
        auto bundle = access_.readAtMost(path, cap, &tooLarge);
        if (!bundle) {
            issue(tooLarge ? "secrets.stowage is too large to check" : "secrets.stowage is missing");
            return;
        }
        report_.checkedSecrets = static_cast<int>(manifest_.secretPaths.size());
        if (!looksLikeBundle(*bundle))
            issue("secrets.stowage looks truncated (" + std::to_string(bundle->size()) + " bytes)");
        else if (manifest_.secretsSha256 &&
                 !matches("secrets.stowage", manifest_.secretsSize.value_or(static_cast<std::int64_t>(bundle->size())),
                          *manifest_.secretsSha256, *bundle))
            issue("secrets.stowage is damaged (its SHA-256 does not match backup.json)");
    }

    /// A bundle whose size the manifest does not record is read up to this size.
    static constexpr std::int64_t maxUnrecordedBundleBytes = std::int64_t{4} << 30;

    std::string root_;
    const BackupManifest& manifest_;
    const FileAccessProvider& access_;
    const BackupJournal::Entries journal_;
    std::set<std::string> plainFolders_;
    VerifyReport report_;
};

} // namespace

BackupManifest readManifestOf(const std::string& root, const FileAccessProvider& access) {
    bool tooLarge = false;
    auto manifestBytes = access.readAtMost(paths::join(root, "backup.json"), maxStoredJsonBytes, &tooLarge);
    if (tooLarge)
        throw DecodingError("backup.json cannot be read: it is larger than 256 MiB.");
    if (!manifestBytes)
        throw BackupError::io("no backup.json in " + paths::abbreviateHome(root));
    return BackupManifest::decode(toString(*manifestBytes));
}

VerifyReport verify(const std::string& dir, const FileAccessProvider& access) {
    const std::string root = paths::expandTilde(dir);
    const BackupManifest manifest = readManifestOf(root, access);
    return Verifier(root, manifest, access).run();
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
    auto bytes = access.readAtMost(paths::join(paths::expandTilde(dir), "history.json"), maxStoredJsonBytes, nullptr);
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
        if (auto bytes = access.readAtMost(path, maxStoredJsonBytes, nullptr)) {
            try {
                runs = decodeHistory(toString(*bytes));
            } catch (const DecodingError&) {
                // The old runs are lost to this file, but not to the user.
                if (!keepAside(*bytes, root, access))
                    return;
            }
        } else if (access.info(path)) {
            // Present but unreadable (or over the size cap): it cannot be kept aside, so it is not
            // replaced either.
            return;
        }
        runs.push_back(BackupRun{now, static_cast<std::int64_t>(result.configFiles.size()),
                                 static_cast<std::int64_t>(result.capturedSecrets.size()),
                                 static_cast<std::int64_t>(result.manifests.size()), result.totalBytes,
                                 result.usedPassphrase});
        newestFirst(runs);
        if (runs.size() > maxHistoryRuns)
            runs.resize(maxHistoryRuns);
        access.write(toBytes(encodeHistory(runs)), path, std::uint16_t{0600});
    } catch (const std::exception&) {
        // Silent by contract: a history that could not be written costs the user nothing else.
    }
}

} // namespace stowage
