// The records of a backup folder: BackupManifest::decode (backup.json) and decodeHistory
// (history.json) on arbitrary text, the same bytes fed to both.
//
// Checks beyond "no crash, no sanitizer report":
// - a damaged record raises DecodingError and nothing else;
// - a record that decodes is written back by its encoder (or refused with BackupError for a name
//   JSON cannot carry), and what is written reads back and encodes to the very same text, so a
//   backup that rewrites history.json never turns a readable file into an unreadable one;
// - the restore guide can be produced for every readable manifest.

#include "core/BackupError.hpp"
#include "core/BackupManifest.hpp"
#include "core/ManifestExport.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

void manifest(const std::string& text) {
    BackupManifest decoded;
    try {
        decoded = BackupManifest::decode(text);
    } catch (const DecodingError&) {
        return;
    }
    for (const ConfigEntry& entry : decoded.configs)
        (void)isSafeStoredPath(entry.storedRelPath);
    (void)restoreGuide(decoded, "en_US", "UTC");

    std::string written;
    try {
        written = decoded.encode();
    } catch (const BackupError&) {
        return;
    }
    BackupManifest reread;
    try {
        reread = BackupManifest::decode(written);
    } catch (const DecodingError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        broken("backup.json as written cannot be read back");
    }
    if (reread.encode() != written)
        broken("backup.json changed when read back and written again");
}

void history(const std::string& text) {
    std::vector<BackupRun> runs;
    try {
        runs = decodeHistory(text);
    } catch (const DecodingError&) {
        return;
    }
    const std::string written = encodeHistory(runs);
    std::vector<BackupRun> reread;
    try {
        reread = decodeHistory(written);
    } catch (const DecodingError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        broken("history.json as written cannot be read back");
    }
    if (encodeHistory(reread) != written)
        broken("history.json changed when read back and written again");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    manifest(text);
    history(text);
    return 0;
}
