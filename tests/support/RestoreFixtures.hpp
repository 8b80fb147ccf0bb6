#pragma once
// Backup folders written by hand for restore tests, in the layout the backup engine writes: stored
// copies under config/home (paths under the recorded home) or config/abs, project trees under
// projects/, a sealed secrets.stowage and backup.json. By hand, because the tests need
// backups a real run never makes: from another home folder, with hostile paths, or with links.

#include "core/BackupManifest.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace stowage::testing {

/// Whether anything (a dangling link included) is at `path`.
bool lexists(const std::string& path);
/// Writes `content` at an absolute path, creating folders, with `mode` when given.
void writeAt(const std::string& path, const std::string& content, std::optional<std::uint16_t> mode = {});
/// The same 32-byte key every time, so a test can give its recovery code.
SymmetricKey fixedKey();
BundleFile secret(const std::string& path, const std::string& content, std::uint16_t mode = 0600,
                  std::optional<ProjectContext> project = std::nullopt);

class BackupBuilder {
public:
    BackupBuilder(std::string dir, std::string recordedHome);

    std::string storedRelPathFor(const std::string& original) const;
    BackupBuilder& configFile(const std::string& original, const std::string& content, std::uint16_t mode = 0644);
    /// A config folder holding `files` (relative path → content, each 0644).
    BackupBuilder& configFolder(const std::string& original, const std::map<std::string, std::string>& files,
                                std::uint16_t folderMode = 0755);
    BackupBuilder& project(const std::string& original, const std::map<std::string, std::string>& files);
    BackupBuilder& secrets(const std::vector<BundleFile>& files, const KeySource& source);
    void save() const;

    BackupManifest manifest;
    const std::string dir;
};

} // namespace stowage::testing
