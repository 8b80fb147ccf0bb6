#include "core/GitInfo.hpp"

#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <variant>

namespace stowage {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b]))
        ++b;
    while (e > b && isSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void dropTrailingSlashes(std::string& s) {
    while (!s.empty() && s.back() == '/')
        s.pop_back();
}

bool isValidUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t i = 0, n = static_cast<int32_t>(s.size());
    while (i < n) {
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0)
            return false;
    }
    return true;
}

// Full Unicode lower case for addresses with non-ASCII host or path names; ASCII (and text that is
// not UTF-8) is lowered byte by byte so no byte is ever replaced.
std::string lowerCase(const std::string& s) {
    bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || !isValidUtf8(s)) {
        std::string r = s;
        for (char& c : r)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return r;
    }
    std::string r;
    icu::UnicodeString::fromUTF8(s).toLower(icu::Locale::getRoot()).toUTF8String(r);
    return r;
}

Shell::Output git(const std::string& folder, const std::vector<std::string>& arguments) {
    return GitInfo::run(folder, arguments);
}

// The git command among `arguments`: the first one that is not an option (nor an option's value).
std::string commandOf(const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "-c" || a == "-C") {
            ++i;
            continue;
        }
        if (!a.empty() && a[0] != '-')
            return a;
    }
    return {};
}

// Commands that may read work-tree files through filter drivers or show changes through diff drivers.
bool comparesContent(const std::string& command) {
    static const std::set<std::string> commands{"status", "diff", "show",  "log",      "stash",   "grep",
                                                "blame",  "add",  "reset", "checkout", "restore", "switch"};
    return commands.count(command) != 0;
}

// Settings that turn off every filter and diff driver the repository itself (or a file it includes)
// defines, as GIT_CONFIG_COUNT variables: unlike "-c", they take a name holding "=" unchanged. A
// filter without commands is no filter; textconv "cat" and diff command "true" run nothing of the
// repository's. Absent with the lookup's output when git could not be asked.
std::variant<Shell::Environment, Shell::Output> driverOverrides(const std::string& folder) {
    std::vector<std::string> args{"-C", folder};
    const auto& options = GitInfo::safeOptions();
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-c", "protocol.allow=never"});
    args.insert(args.end(),
                {"config", "--show-scope", "--null", "--name-only", "--get-regexp",
                 "^(filter\\..*\\.(clean|smudge|process|required)|diff\\..*\\.(textconv|command)|diff\\.external)$"});
    Shell::Output found = Shell::run("git", args, std::nullopt, Shell::defaultTimeout, GitInfo::safeEnvironment());
    // Status 1 is "no such setting".
    if (found.status != 0 && found.status != 1)
        return found;
    std::vector<std::pair<std::string, std::string>> settings;
    const std::string& text = found.out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t scopeEnd = text.find('\0', pos);
        if (scopeEnd == std::string::npos)
            break;
        std::size_t nameEnd = text.find('\0', scopeEnd + 1);
        if (nameEnd == std::string::npos)
            nameEnd = text.size();
        const std::string scope = text.substr(pos, scopeEnd - pos);
        const std::string name = text.substr(scopeEnd + 1, nameEnd - scopeEnd - 1);
        pos = nameEnd + 1;
        // The user's own and the system's settings are theirs to trust; everything else came with the folder.
        if (scope == "global" || scope == "system")
            continue;
        const std::size_t dot = name.rfind('.');
        const std::string key = name.substr(dot + 1);
        if (name == "diff.external")
            settings.emplace_back(name, "true");
        else if (name.rfind("filter.", 0) == 0)
            settings.emplace_back(name, key == "required" ? "false" : "");
        else if (key == "textconv")
            settings.emplace_back(name, "cat");
        else
            settings.emplace_back(name, "true");
    }
    Shell::Environment environment = GitInfo::safeEnvironment();
    environment.set["GIT_CONFIG_COUNT"] = std::to_string(settings.size());
    for (std::size_t i = 0; i < settings.size(); ++i) {
        environment.set["GIT_CONFIG_KEY_" + std::to_string(i)] = settings[i].first;
        environment.set["GIT_CONFIG_VALUE_" + std::to_string(i)] = settings[i].second;
    }
    return environment;
}

void walk(const std::string& folder, int level, const FileAccessProvider& access, std::vector<std::string>& found,
          std::set<std::string>& seen) {
    if (level > GitInfo::maxLevel || found.size() > GitInfo::repoCap)
        return;
    if (access.exists(paths::join(folder, ".git"))) {
        if (seen.insert(folder).second)
            found.push_back(folder);
        return;
    }
    for (const std::string& child : access.children(folder)) {
        std::string name = paths::lastComponent(child);
        if (name.empty() || name[0] == '.' || GitInfo::pruned().count(name) != 0)
            continue;
        auto info = access.info(child);
        if (!info || !info->isDirectory)
            continue;
        walk(child, level + 1, access, found, seen);
    }
}

} // namespace

const std::vector<std::string>& GitInfo::safeOptions() {
    static const std::vector<std::string> options{
        "--no-pager",
        "-c",
        "core.fsmonitor=false",
        "-c",
        "core.useBuiltinFSMonitor=false",
        "-c",
        "core.hooksPath=/dev/null",
        "-c",
        "core.pager=cat",
        "-c",
        "core.askPass=",
        "-c",
        "log.showSignature=false",
        "-c",
        "submodule.recurse=false",
    };
    return options;
}

const Shell::Environment& GitInfo::safeEnvironment() {
    static const Shell::Environment environment{
        {{"GIT_TERMINAL_PROMPT", "0"},
         {"GIT_OPTIONAL_LOCKS", "0"},
         {"GIT_PAGER", "cat"},
         {"SSH_ASKPASS_REQUIRE", "never"},
         {"GCM_INTERACTIVE", "never"}},
        {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY", "GIT_ALTERNATE_OBJECT_DIRECTORIES",
         "GIT_COMMON_DIR", "GIT_NAMESPACE", "GIT_PREFIX", "GIT_CONFIG", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
         "GIT_EXTERNAL_DIFF", "GIT_DIFF_OPTS", "GIT_EDITOR", "GIT_SEQUENCE_EDITOR", "GIT_ASKPASS", "SSH_ASKPASS",
         "GIT_ATTR_SOURCE", "PAGER"}};
    return environment;
}

Shell::Output GitInfo::run(const std::string& folder, const std::vector<std::string>& arguments, double timeout) {
    const std::string command = commandOf(arguments);
    Shell::Environment environment = safeEnvironment();
    if (comparesContent(command)) {
        auto overrides = driverOverrides(folder);
        if (auto* failure = std::get_if<Shell::Output>(&overrides))
            return *failure;
        environment = std::get<Shell::Environment>(overrides);
    }
    std::vector<std::string> args{"-C", folder};
    const auto& options = safeOptions();
    args.insert(args.end(), options.begin(), options.end());
    // Only a clone reaches the network, and only for the address the user's own backup names: every
    // other command is local, so no transport (ssh, a remote helper) may run at all.
    if (command != "clone")
        args.insert(args.end(), {"-c", "protocol.allow=never"});
    else
        args.insert(args.end(), {"-c", "protocol.ext.allow=never"}); // an address that is a command line
    args.insert(args.end(), arguments.begin(), arguments.end());
    return Shell::run("git", args, std::nullopt, timeout, environment);
}

std::string GitInfo::displayRemote(const std::string& remoteAddress) {
    const std::size_t scheme = remoteAddress.find("://");
    if (scheme == std::string::npos)
        return remoteAddress; // the scp-like form holds a user name at most
    const std::size_t authorityStart = scheme + 3;
    const std::size_t authorityEnd = remoteAddress.find_first_of("/?#", authorityStart);
    const std::string authority = remoteAddress.substr(
        authorityStart, authorityEnd == std::string::npos ? std::string::npos : authorityEnd - authorityStart);
    const std::size_t at = authority.rfind('@');
    if (at == std::string::npos)
        return remoteAddress;
    const std::string userInfo = authority.substr(0, at);
    const std::string schemeName = lowerCase(remoteAddress.substr(0, scheme));
    std::string masked;
    if (const std::size_t colon = userInfo.find(':'); colon != std::string::npos)
        masked = userInfo.substr(0, colon) + ":***";
    else if (schemeName.rfind("http", 0) == 0 || schemeName.rfind("ftp", 0) == 0)
        masked = "***"; // a token given as the user name, as hosting services accept
    else
        return remoteAddress;
    return remoteAddress.substr(0, authorityStart) + masked + remoteAddress.substr(authorityStart + at);
}

const std::set<std::string>& GitInfo::pruned() {
    static const std::set<std::string> names{"node_modules", "Pods",  "build", "dist",  "target",     "vendor",
                                             "DerivedData",  ".next", "venv",  ".venv", "__pycache__"};
    return names;
}

std::vector<std::string> GitInfo::discoverRepos(const std::vector<std::string>& roots,
                                                const FileAccessProvider& access) {
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const std::string& root : roots) {
        std::string folder = paths::expandRoot(root);
        if (folder.empty())
            continue;
        walk(folder, 0, access, found, seen);
    }
    return found;
}

std::vector<LocalRepo> GitInfo::findRepos(const std::vector<std::string>& roots, const FileAccessProvider& access) {
    std::vector<std::string> found = discoverRepos(roots, access);
    // The walk never depends on remotes, so they are read afterwards, several repositories at once.
    std::vector<LocalRepo> repos(found.size());
    forEachConcurrently(found.size(), [&](std::size_t i) { repos[i] = LocalRepo{found[i], remote(found[i])}; });
    return repos;
}

std::optional<std::string> GitInfo::enclosingRepo(const std::string& path, const FileAccessProvider& access) {
    std::string start = path;
    while (start.size() > 1 && start.back() == '/')
        start.pop_back();
    std::string folder = paths::parent(start);
    while (!folder.empty() && folder != "/") {
        if (access.exists(folder + "/.git"))
            return folder;
        folder = paths::parent(folder);
    }
    return std::nullopt;
}

std::optional<std::string> GitInfo::remote(const std::string& root) {
    Shell::Output origin = git(root, {"remote", "get-url", "origin"});
    if (origin.ok()) {
        std::string url = origin.trimmedOut();
        if (!url.empty())
            return url;
    }
    Shell::Output list = git(root, {"remote"});
    if (!list.ok())
        return std::nullopt;
    std::string listing = list.trimmedOut();
    std::string first;
    std::size_t pos = 0;
    while (pos <= listing.size() && first.empty()) {
        std::size_t nl = listing.find('\n', pos);
        if (nl == std::string::npos)
            nl = listing.size();
        first = trim(listing.substr(pos, nl - pos));
        pos = nl + 1;
    }
    if (first.empty())
        return std::nullopt;
    Shell::Output named = git(root, {"remote", "get-url", "--", first});
    if (!named.ok())
        return std::nullopt;
    std::string url = named.trimmedOut();
    if (url.empty())
        return std::nullopt;
    return url;
}

std::optional<ProjectContext> GitInfo::context(const std::string& path, const FileAccessProvider& access) {
    std::optional<std::string> root = enclosingRepo(path, access);
    if (!root)
        return std::nullopt;
    std::string prefix = *root + "/";
    std::string relPath =
        path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : paths::lastComponent(path);
    return ProjectContext{*root, remote(*root), relPath};
}

std::string GitInfo::repoName(const std::string& remoteAddress) {
    std::string text = trim(remoteAddress);
    dropTrailingSlashes(text);
    std::size_t cut = text.find_last_of("/:");
    std::string name = cut == std::string::npos ? text : text.substr(cut + 1);
    if (endsWith(name, ".git"))
        name.erase(name.size() - 4);
    return name;
}

std::string GitInfo::normalizeRemote(const std::string& remoteAddress) {
    std::string text = lowerCase(trim(remoteAddress));
    const bool hasScheme = text.find("://") != std::string::npos;
    if (hasScheme)
        text.erase(0, text.find("://") + 3);
    // User information ends at the last "@" of the host part, which a URL ends at its first "/" and
    // the scp-like form at its first ":" as well; an "@" in the path or a password is not one.
    const std::size_t hostEnd = text.find_first_of(hasScheme ? "/?#" : ":/");
    if (auto at = text.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
        at != std::string::npos && (hostEnd == std::string::npos || at < hostEnd))
        text.erase(0, at + 1);
    if (auto colon = text.find(':'); colon != std::string::npos) {
        std::size_t digits = colon + 1;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
            ++digits;
        if (digits > colon + 1 && digits < text.size() && text[digits] == '/')
            text.erase(colon, digits - colon);
    }
    std::replace(text.begin(), text.end(), ':', '/');
    dropTrailingSlashes(text);
    if (endsWith(text, ".git"))
        text.erase(text.size() - 4);
    dropTrailingSlashes(text);
    return text;
}

std::optional<std::string> GitInfo::clone(const std::string& remoteAddress, const std::string& into) {
    std::string name = repoName(remoteAddress);
    // "." and ".." would put the clone into `into` itself or above it.
    if (name.empty() || name == "." || name == "..")
        return std::nullopt;
    // The folder name is given explicitly so the clone lands exactly where the returned path says,
    // even where git would derive another name; "--" keeps both operands from being read as options.
    Shell::Output out = run(into, {"clone", "--", remoteAddress, name}, cloneTimeout);
    if (!out.ok())
        return std::nullopt;
    return paths::join(into, name);
}

std::size_t GitInfo::concurrency() {
    std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min<std::size_t>(2 * cores, 8);
}

void GitInfo::forEachConcurrently(std::size_t count, const std::function<void(std::size_t)>& job) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorMutex;
    auto worker = [&] {
        for (;;) {
            if (failed.load())
                return;
            std::size_t i = next.fetch_add(1);
            if (i >= count)
                return;
            try {
                job(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!firstError)
                    firstError = std::current_exception();
                failed.store(true);
            }
        }
    };
    std::size_t threads = std::min(concurrency(), count);
    std::vector<std::thread> pool;
    // The calling thread is one of the workers; if no further thread can be started it does the
    // whole list itself.
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    worker();
    for (std::thread& t : pool)
        t.join();
    if (firstError)
        std::rethrow_exception(firstError);
}

} // namespace stowage
