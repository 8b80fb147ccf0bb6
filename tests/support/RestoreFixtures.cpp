#include "support/RestoreFixtures.hpp"

#include "core/Paths.hpp"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace stowage::testing {

bool lexists(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

void writeAt(const std::string& path, const std::string& content, std::optional<std::uint16_t> mode) {
    DirectFileAccess().write(toBytes(content), path, mode);
}

SymmetricKey fixedKey() {
    return SymmetricKey(std::array<std::uint8_t, 32>{1, 8, 15, 22, 29, 36, 43, 50, 57, 64, 71, 78});
}

BundleFile secret(const std::string& path, const std::string& content, std::uint16_t mode,
                  std::optional<ProjectContext> project) {
    return BundleFile{path, mode, toBytes(content), std::move(project)};
}

BackupBuilder::BackupBuilder(std::string folder, std::string recordedHome) : dir(std::move(folder)) {
    manifest.homeFolder = std::move(recordedHome);
    manifest.createdAt = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::string BackupBuilder::storedRelPathFor(const std::string& original) const {
    if (paths::isUnder(original, *manifest.homeFolder))
        return "config/home" + original.substr(manifest.homeFolder->size());
    std::string flat = original;
    std::replace(flat.begin(), flat.end(), '/', '_');
    return "config/abs/" + flat;
}

BackupBuilder& BackupBuilder::configFile(const std::string& original, const std::string& content, std::uint16_t mode) {
    writeAt(paths::join(dir, storedRelPathFor(original)), content, mode);
    manifest.configs.push_back({original, storedRelPathFor(original)});
    return *this;
}

BackupBuilder& BackupBuilder::configFolder(const std::string& original, const std::map<std::string, std::string>& files,
                                           std::uint16_t folderMode) {
    const std::string stored = paths::join(dir, storedRelPathFor(original));
    fs::create_directories(stored);
    for (const auto& [name, content] : files)
        writeAt(paths::join(stored, name), content, 0644);
    ::chmod(stored.c_str(), folderMode);
    manifest.configs.push_back({original, storedRelPathFor(original)});
    return *this;
}

BackupBuilder& BackupBuilder::project(const std::string& original, const std::map<std::string, std::string>& files) {
    const std::string name = paths::lastComponent(original);
    fs::create_directories(paths::join(dir, "projects/" + name));
    for (const auto& [path, content] : files)
        writeAt(paths::join(dir, "projects/" + name + "/" + path), content, 0644);
    if (!manifest.projects)
        manifest.projects.emplace();
    manifest.projects->push_back({original, "projects/" + name, name});
    return *this;
}

BackupBuilder& BackupBuilder::secrets(const std::vector<BundleFile>& files, const KeySource& source) {
    BundlePayload payload;
    payload.createdAt = manifest.createdAt;
    payload.files = files;
    const Bytes json = toBytes(SecretsBundle::encodePayload(payload));
    const Bytes blob = source.kind() == KeySource::Kind::rawKey
                           ? SecretsBundle::sealRaw(json, source.key())
                           : SecretsBundle::sealV2(json, source.passphraseText().view());
    DirectFileAccess().write(blob, paths::join(dir, "secrets.stowage"), 0600);
    manifest.hasSecrets = true;
    manifest.secretPaths.clear();
    for (const auto& file : files)
        manifest.secretPaths.push_back(file.path);
    return *this;
}

void BackupBuilder::save() const {
    writeAt(paths::join(dir, "backup.json"), manifest.encode());
}

} // namespace stowage::testing
