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

Shell::Output git(const std::string& folder, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-C", folder});
    return Shell::run("git", arguments);
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
    if (auto scheme = text.find("://"); scheme != std::string::npos)
        text.erase(0, scheme + 3);
    if (auto at = text.find('@'); at != std::string::npos)
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
    Shell::Output out = Shell::run("git", {"-C", into, "clone", "--", remoteAddress, name}, std::nullopt, cloneTimeout);
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
