#pragma once
// The encrypted secrets bundle ("secrets.stowage"): the selected secret files, with their modes and
// the project they belong to, in one JSON document sealed with AES-256-GCM (96-bit nonce, 128-bit
// tag, no associated data).
//
// Two on-disk forms, told apart by their first four bytes:
//   raw key:     nonce(12) ‖ ciphertext ‖ tag(16)
//   passphrase:  "STB2" ‖ 0x02 ‖ 0x01 ‖ L(1) ‖ salt(L) ‖ iterations(4, big-endian) ‖ nonce(12) ‖
//                ciphertext ‖ tag(16)
// The passphrase header is not authenticated as such: any change to the salt or the count yields
// another key and the tag check fails; bytes 4 and 5 are not interpreted. Every way a bundle fails to
// open short of reading the decrypted document is BackupError::decryptFailed, so a wrong passphrase
// and a damaged file look alike. A count of 0 or above maxIterations is refused that way before any
// derivation, so a hostile header cannot stall a restore.
//
// The document is compact UTF-8 JSON: {"version":1,"createdAt":<seconds since 2001-01-01T00:00:00Z>,
// "files":[{"path":…,"mode":…,"data":<standard Base64>,"project":{…}}]}, "project" left out when
// absent. Readers ignore keys they do not know and refuse documents missing a required key.

#include "core/ConflictPolicy.hpp"
#include "core/Diff.hpp"
#include "core/FileAccess.hpp"
#include "core/KDF.hpp"
#include "core/ProjectContext.hpp"
#include "core/RestoreOutcome.hpp"
#include "core/RestoreWriter.hpp"
#include "core/Types.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace stowage {

/// One secret file.
struct BundleFile {
    /// The absolute path the file was read from, exactly as selected.
    std::string path;
    /// POSIX permission bits when read (0600 when they could not be read).
    std::uint16_t mode = 0600;
    /// The whole contents.
    Bytes data;
    /// The git repository the file lies in; absent when it lies in none.
    std::optional<ProjectContext> project;

    bool operator==(const BundleFile&) const = default;
};

/// The decrypted document.
struct BundlePayload {
    /// Always 1 when written; read back, never compared.
    std::int64_t version = 1;
    Timestamp createdAt{};
    /// In the order the paths were given to seal.
    std::vector<BundleFile> files;

    bool operator==(const BundlePayload&) const = default;
};

/// A document that decrypted but is not a valid payload. what() is a sentence a user can read.
class BundleDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace SecretsBundle {

inline constexpr std::array<std::uint8_t, 4> magic = {'S', 'T', 'B', '2'};
inline constexpr std::size_t nonceBytes = 12;
inline constexpr std::size_t tagBytes = 16;
/// The largest iteration count a passphrase bundle may carry (about 10 s of derivation here).
inline constexpr std::uint32_t maxIterations = 10'000'000;

struct SealResult {
    Bytes blob;
    /// Paths sealed into the payload, in order.
    std::vector<std::string> included;
    /// Paths that could not be read and were left out.
    std::vector<std::string> skipped;
};

struct BuildResult {
    BundlePayload payload;
    std::vector<std::string> included;
    std::vector<std::string> skipped;
};

/// Finds the repository a file lies in; absent when it lies in none.
using ProjectLookup =
    std::function<std::optional<ProjectContext>(const std::string& path, const FileAccessProvider& access)>;

/// The repository lookup of the git layer.
ProjectLookup gitProjectLookup();

/// Reads every path through `access`; unreadable ones go to `skipped`. A file's mode is that of the
/// file the path leads to (a link is followed, as the read follows it), 0600 when unreadable.
BuildResult buildPayload(const std::vector<std::string>& files, const FileAccessProvider& access,
                         const ProjectLookup& projectLookup = gitProjectLookup());

/// Builds the payload and seals it: a raw key gives the raw form, a passphrase the "STB2" form with
/// a fresh 16-byte salt and KDF::defaultIterations. Throws when the document cannot be encoded
/// (a path or project text that is not UTF-8: nlohmann::json::type_error).
SealResult seal(const std::vector<std::string>& files, const KeySource& source, const FileAccessProvider& access,
                const ProjectLookup& projectLookup = gitProjectLookup());
/// The raw-key form, reading through DirectFileAccess.
SealResult seal(const std::vector<std::string>& files, const SymmetricKey& key);

/// Decrypts and decodes. Throws BackupError::decryptFailed for anything short of the document, and
/// BundleDecodingError when the decrypted document is not a payload.
BundlePayload open(const Bytes& blob, const KeySource& source);
BundlePayload open(const Bytes& blob, const SymmetricKey& key);

/// True when the blob begins with "STB2" (also for a blob of exactly those four bytes).
bool isPassphraseBundle(const Bytes& blob);

/// The bundle's copy of a file (`incoming`) against the file now at `path`: `new_` when nothing is
/// there; `modified` without lines when it cannot be read (a folder included); `identical` for equal
/// bytes; `binary` when either side exceeds LineDiff::maxBytes or holds a zero byte in its first
/// 8000 bytes; otherwise the line diff (context 3) of the file's text against the incoming text,
/// both read as UTF-8 with invalid sequences replaced. Added lines are the backup copy's.
FileDiff diff(const Bytes& incoming, const std::string& path, const FileAccessProvider& access);

/// Writes the payload's files back, in payload order, and answers one outcome per file considered.
/// - `select`: only these recorded paths (absent: all; empty: none).
/// - Target: `destinations[path]` when present, else the path; under `prefix` (when given) by its
///   relative form. With a prefix, a path with "." or ".." components is refused (it would leave the
///   prefix), and so is a path that names no file ("", "/").
/// - Each file is then handled by RestoreWriter::restoreFile under `policy`: a file already holding
///   the secret is left alone, `skip` keeps an existing file, `writeBeside` writes beside a differing
///   one, `overwrite` replaces it after saving it into a per-run folder under `snapshot` (named by
///   the recorded path's relative form); a save that fails leaves the file and the outcome says why.
/// - Dry run: nothing is written; every outcome carries diff(data, target).
/// - Each secret is written atomically with exactly its recorded mode, never through a link this
///   restore did not find in place. The first failing write ends the restore with its error; files
///   already written stay.
std::vector<RestoreOutcome> restore(const BundlePayload& payload, const std::optional<std::set<std::string>>& select,
                                    ConflictPolicy policy, const std::optional<std::string>& snapshot,
                                    const std::optional<std::map<std::string, std::string>>& destinations,
                                    const std::optional<std::string>& prefix, bool dryRun, FileAccessProvider& access);
/// The same with the writer of a whole restore run (its policy, saved-copy folder and dry-run
/// flag); `prefix` must be the writer's.
std::vector<RestoreOutcome> restore(const BundlePayload& payload, const std::optional<std::set<std::string>>& select,
                                    const std::optional<std::map<std::string, std::string>>& destinations,
                                    const std::optional<std::string>& prefix, RestoreWriter& writer);

// ---- The layers below seal and open, for tests and tools ---------------------------------------

/// Compact JSON of the payload. Throws nlohmann::json::type_error for text that is not UTF-8.
std::string encodePayload(const BundlePayload& payload);
/// Appends the compact JSON to `out` (sealing writes it straight into the blob).
void encodePayloadTo(const BundlePayload& payload, Bytes& out);
/// Reads any valid JSON text of a payload; throws BundleDecodingError.
BundlePayload decodePayload(std::string_view json);

/// AES-256-GCM with the given nonce: ciphertext ‖ tag.
Bytes gcmSeal(const SymmetricKey& key, const std::array<std::uint8_t, nonceBytes>& nonce, const std::uint8_t* plaintext,
              std::size_t size);
/// Opens nonce ‖ ciphertext ‖ tag; throws BackupError::decryptFailed (also when shorter than 28 bytes).
Bytes gcmOpenCombined(const SymmetricKey& key, const std::uint8_t* box, std::size_t size);

/// Gives `count` random bytes.
using RandomSource = std::function<Bytes(std::size_t count)>;

/// While it lives, nonces drawn on the constructing thread come from `source` instead of the secure
/// random generator (tests force a given draw). Scopes nest; other threads are not affected.
class ScopedNonceSource {
public:
    explicit ScopedNonceSource(RandomSource source);
    ~ScopedNonceSource();
    ScopedNonceSource(const ScopedNonceSource&) = delete;
    ScopedNonceSource& operator=(const ScopedNonceSource&) = delete;

private:
    RandomSource source_;
    const RandomSource* previous_;
};

/// A fresh random nonce for one seal. It never begins with the magic: the first bytes of a raw-key
/// bundle are its nonce, and a nonce beginning "STB2" would make it read as a passphrase bundle.
std::array<std::uint8_t, nonceBytes> drawNonce();

/// nonce ‖ ciphertext ‖ tag with a fresh random nonce (drawNonce).
Bytes sealRaw(const Bytes& plaintext, const SymmetricKey& key);
/// The passphrase form with a fresh salt and KDF::defaultIterations.
Bytes sealV2(const Bytes& plaintext, std::string_view passphrase);
/// The plaintext of a passphrase-form blob; throws BackupError::decryptFailed.
Bytes openV2(const Bytes& blob, std::string_view passphrase);

} // namespace SecretsBundle

} // namespace stowage
