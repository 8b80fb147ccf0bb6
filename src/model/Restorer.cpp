#include "model/Restorer.hpp"

#include "core/Paths.hpp"
#include "model/AppModel.hpp"

#include <filesystem>

namespace stowage::restorer {

namespace {

/// The Mac bundle the program runs from: ".../Name.app" of ".../Name.app/Contents/MacOS/Name".
std::optional<std::string> macBundle(const std::string& programPath) {
    const std::string marker = "/Contents/MacOS/";
    const auto at = programPath.rfind(marker);
    if (at == std::string::npos || programPath.find('/', at + marker.size()) != std::string::npos)
        return std::nullopt;
    std::string bundlePath = programPath.substr(0, at);
    const std::string name = paths::lastComponent(bundlePath);
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".app") != 0)
        return std::nullopt;
    return bundlePath;
}

bool isRegularFile(const FileAccessProvider& access, const std::string& path) {
    auto info = access.info(path);
    return info && !info->isDirectory && !info->isSymlink;
}

bool isFolder(const FileAccessProvider& access, const std::string& path) {
    auto info = access.info(path);
    return info && info->isDirectory && !info->isSymlink;
}

bool samePlace(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    auto ca = std::filesystem::weakly_canonical(a, ec1);
    auto cb = std::filesystem::weakly_canonical(b, ec2);
    if (ec1 || ec2)
        return paths::withoutTrailingSlashes(a) == paths::withoutTrailingSlashes(b);
    return ca == cb;
}

bool copyBundle(const std::string& bundlePath, const std::string& dir, FileAccessProvider& access) {
    const std::string target = paths::join(dir, paths::lastComponent(bundlePath));
    if (samePlace(bundlePath, target))
        return false;
    access.remove(target);
    access.copyItem(bundlePath, target);
    return true;
}

bool copyPrograms(const std::string& programPath, const std::string& dir, FileAccessProvider& access) {
    const std::string programFolder = paths::parent(programPath);
    const std::string cli = paths::join(programFolder, AppModel::cliExecutableName);
    if (paths::lastComponent(programPath) != AppModel::appExecutableName || !isRegularFile(access, programPath) ||
        !isRegularFile(access, cli))
        return false;
    const std::string target = paths::join(dir, AppModel::restorerFolderName);
    if (samePlace(programFolder, target))
        return false;
    if (auto info = access.info(target); info && (!info->isDirectory || info->isSymlink))
        access.remove(target);
    access.createDirectory(target, 0700);
    // Each file is read whole and replaced atomically: a failure leaves the earlier copy whole.
    for (const std::string& source : {programPath, cli}) {
        auto bytes = access.read(source);
        if (!bytes)
            return false;
        access.write(*bytes, paths::join(target, paths::lastComponent(source)), 0755);
    }
    access.write(toBytes(launcherScript()), paths::join(target, AppModel::restorerLauncherName), 0755);
    return true;
}

} // namespace

std::optional<std::string> launchFolder(const std::string& programPath, const FileAccessProvider& access) {
    if (programPath.empty() || programPath.front() != '/')
        return std::nullopt;
    std::string folder;
    if (auto bundlePath = macBundle(programPath))
        folder = paths::parent(*bundlePath);
    else
        folder = paths::parent(paths::parent(programPath));
    if (folder.empty() || !isRegularFile(access, paths::join(folder, "backup.json")))
        return std::nullopt;
    return folder;
}

bool bundle(const std::string& programPath, const std::string& dir, FileAccessProvider& access) {
    try {
        if (programPath.empty() || programPath.front() != '/' || !isFolder(access, dir))
            return false;
        if (auto bundlePath = macBundle(programPath))
            return copyBundle(*bundlePath, dir, access);
        return copyPrograms(programPath, dir, access);
    } catch (...) {
        // Copying the application is a convenience of the backup; it never fails the backup.
        return false;
    }
}

std::string launcherScript() {
    return "#!/bin/sh\n"
           "# Starts the copy of Stowage kept in this backup folder. It opens on the Restore tab with\n"
           "# this backup loaded. Needs the Qt 6 libraries of the system it runs on.\n"
           "here=$(CDPATH= cd -- \"$(dirname -- \"$0\")\" && pwd) || exit 1\n"
           "exec \"$here/stowage-app\" \"$@\"\n";
}

} // namespace stowage::restorer
