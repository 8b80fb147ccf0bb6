#include "core/Settings.hpp"

#include "core/Paths.hpp"

#include <cmath>

namespace stowage::settings {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::string piece;
    auto flush = [&] {
        size_t b = piece.find_first_not_of(" \t");
        size_t e = piece.find_last_not_of(" \t");
        if (b != std::string::npos)
            result.push_back(piece.substr(b, e - b + 1));
        piece.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == ',') {
            flush();
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            flush(); // U+0085 next line
            ++i;
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            flush(); // U+2028 line separator, U+2029 paragraph separator
            i += 2;
        } else {
            piece.push_back(static_cast<char>(c));
        }
    }
    flush();
    return result;
}

std::vector<std::string> scanRoots(const DefaultsStore& store) {
    auto roots = lines(store.string(scanRootsKey).value_or(defaultScanRoot));
    if (roots.empty())
        roots.push_back(defaultScanRoot);
    return roots;
}

std::vector<std::string> excludeGlobs(const DefaultsStore& store) {
    return lines(store.string(excludeGlobsKey).value_or(""));
}

std::string backupDir(const DefaultsStore& store) {
    if (auto stored = store.string(backupDirKey))
        return *stored;
    return paths::join(paths::homeFolder(), "StowageBackup");
}

std::optional<Timestamp> lastBackupAt(const DefaultsStore& store) {
    std::optional<double> seconds = store.real(lastBackupAtKey);
    if (!seconds) {
        if (auto i = store.integer(lastBackupAtKey))
            seconds = static_cast<double>(*i);
    }
    if (!seconds || !std::isfinite(*seconds) || *seconds <= 0)
        return std::nullopt;
    auto since = std::chrono::duration<double>(*seconds + static_cast<double>(referenceDateOffset));
    return Timestamp(std::chrono::duration_cast<Timestamp::duration>(since));
}

void setLastBackupAt(DefaultsStore& store, std::optional<Timestamp> when) {
    if (!when) {
        store.setInteger(lastBackupAtKey, 0);
        return;
    }
    double unix = std::chrono::duration<double>(when->time_since_epoch()).count();
    store.setReal(lastBackupAtKey, unix - static_cast<double>(referenceDateOffset));
}

} // namespace stowage::settings
