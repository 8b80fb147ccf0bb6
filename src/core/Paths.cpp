#include "core/Paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace stowage::paths {

namespace {

std::string passwdHome(const struct passwd* pw) {
    if (pw == nullptr || pw->pw_dir == nullptr)
        return {};
    return withoutTrailingSlashes(pw->pw_dir);
}

std::string lookupUser(const char* name, uid_t uid, bool byName) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd pw {};
    struct passwd* result = nullptr;
    for (;;) {
        int rc = byName ? getpwnam_r(name, &pw, buf.data(), buf.size(), &result)
                        : getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0)
            return {};
        return passwdHome(result);
    }
}

} // namespace

std::string homeFolder() {
    const char* env = std::getenv("HOME");
    if (env != nullptr && *env != '\0')
        return withoutTrailingSlashes(env);
    return lookupUser(nullptr, getuid(), false);
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string expandRoot(const std::string& root) {
    return withoutTrailingSlashes(expandTilde(root));
}

std::vector<std::string> expandRoots(const std::vector<std::string>& roots) {
    std::vector<std::string> result;
    for (const auto& root : roots)
        if (std::string r = expandRoot(root); !r.empty())
            result.push_back(std::move(r));
    return result;
}

std::string homeFolderOf(const std::string& user) {
    return lookupUser(user.c_str(), 0, true);
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~')
        return path;
    auto slash = path.find('/');
    std::string name = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    std::string home = name.empty() ? homeFolder() : homeFolderOf(name);
    if (home.empty())
        return path;
    if (home == "/" && !rest.empty())
        return rest;
    return home + rest;
}

std::string abbreviateHome(const std::string& path) {
    std::string home = homeFolder();
    if (home.empty() || home == "/")
        return path;
    if (path == home)
        return "~";
    if (path.size() > home.size() && path.compare(0, home.size(), home) == 0 && path[home.size()] == '/')
        return "~" + path.substr(home.size());
    return path;
}

std::string join(const std::string& base, const std::string& component) {
    if (base.empty())
        return component;
    if (component.empty())
        return base;
    std::string b = base;
    while (b.size() > 1 && b.back() == '/')
        b.pop_back();
    size_t start = 0;
    while (start < component.size() && component[start] == '/')
        ++start;
    if (b == "/")
        return "/" + component.substr(start);
    return b + "/" + component.substr(start);
}

std::string relativeForm(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path.substr(1);
    return path;
}

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool isUnder(const std::string& path, const std::string& rawRoot) {
    // Trailing slashes do not change which folder is meant ("/a/" is "/a"); an empty root names no folder
    // and so contains nothing.
    if (rawRoot.empty())
        return path.empty();
    const std::string root = withoutTrailingSlashes(rawRoot);
    const std::string p = withoutTrailingSlashes(path);
    if (p == root)
        return true;
    if (root == "/")
        return !p.empty() && p[0] == '/';
    return p.size() > root.size() && p.compare(0, root.size(), root) == 0 && p[root.size()] == '/';
}

} // namespace stowage::paths
