#include "core/Paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <optional>
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

namespace {

/// An XDG base folder: the variable's value when it is an absolute path (relative values are invalid by
/// the XDG rules and are ignored), else the default below the home folder.
std::string xdgFolder(const char* variable, const char* defaultBelowHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return withoutTrailingSlashes(value);
    const std::string home = homeFolder();
    return home.empty() ? std::string() : join(home, defaultBelowHome);
}

/// The rest of `pattern` after a leading `token` that is the whole pattern or ends at a "/"; absent
/// when the pattern does not begin with the token.
std::optional<std::string> afterToken(const std::string& pattern, const std::string& token) {
    if (pattern.compare(0, token.size(), token) != 0)
        return std::nullopt;
    if (pattern.size() > token.size() && pattern[token.size()] != '/')
        return std::nullopt;
    return pattern.substr(token.size());
}

} // namespace

std::string xdgConfigHome() {
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}

std::string xdgDataHome() {
    return xdgFolder("XDG_DATA_HOME", ".local/share");
}

std::string escapeGlob(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '*' || c == '?' || c == '[' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string expandPattern(const std::string& pattern, bool forGlob) {
    for (const auto& [token, folder] :
         {std::pair{"$XDG_CONFIG_HOME", &xdgConfigHome}, std::pair{"$XDG_DATA_HOME", &xdgDataHome}}) {
        if (auto rest = afterToken(pattern, token)) {
            const std::string base = folder();
            if (base.empty())
                return pattern;
            const std::string prefix = forGlob ? escapeGlob(base) : base;
            return rest->empty() ? prefix : (base == "/" ? *rest : prefix + *rest);
        }
    }
    if (!forGlob || pattern.empty() || pattern[0] != '~')
        return expandTilde(pattern);
    // Escape only what expansion put in: the home folder that replaced "~" or "~name".
    const std::string expanded = expandTilde(pattern);
    if (expanded == pattern)
        return pattern;
    const auto slash = pattern.find('/');
    const std::string rest = slash == std::string::npos ? std::string() : pattern.substr(slash);
    const std::string base = expanded.substr(0, expanded.size() - rest.size());
    return escapeGlob(base) + rest;
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
