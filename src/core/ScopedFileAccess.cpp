#include "core/ScopedFileAccess.hpp"

#include "core/Paths.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace stowage {

namespace {

constexpr char kMagic[4] = {'S', 'T', 'W', 'B'};
constexpr std::uint8_t kFormat = 1;
constexpr size_t kHeader = sizeof kMagic + 1 + 8 + 8;

void putWord(Bytes& out, std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint64_t getWord(const Bytes& in, size_t at) {
    std::uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i)
        v = (v << 8) | in[at + i];
    return v;
}

/// Root keys carry no trailing "/", so "/a/" and "/a" are one grant.
std::string normalisedRoot(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

/// Characters, not bytes, as the ordering of roots is defined on text.
size_t characterCount(const std::string& s) {
    return static_cast<size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

} // namespace

// ---- Sandbox -----------------------------------------------------------------------------------

bool Sandbox::isActive() {
    return std::getenv("APP_SANDBOX_CONTAINER_ID") != nullptr;
}

// ---- SecurityScope on Linux ------------------------------------------------------------------------

std::shared_ptr<SecurityScope> SecurityScope::platform() {
    static const std::shared_ptr<SecurityScope> instance = std::make_shared<PathBookmarkScope>();
    return instance;
}

std::optional<Bytes> PathBookmarkScope::makeBookmark(const std::string& folder) const {
    struct stat st {};
    if (folder.empty() || folder[0] != '/' || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    Bytes token(kMagic, kMagic + sizeof kMagic);
    token.push_back(kFormat);
    putWord(token, static_cast<std::uint64_t>(st.st_dev));
    putWord(token, static_cast<std::uint64_t>(st.st_ino));
    token.insert(token.end(), folder.begin(), folder.end());
    return token;
}

std::optional<SecurityScope::Resolution> PathBookmarkScope::resolveBookmark(const Bytes& bookmark) const {
    if (bookmark.size() <= kHeader || std::memcmp(bookmark.data(), kMagic, sizeof kMagic) != 0 ||
        bookmark[sizeof kMagic] != kFormat)
        return std::nullopt;
    std::string path(bookmark.begin() + kHeader, bookmark.end());
    struct stat st {};
    if (path[0] != '/' || path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
        return std::nullopt;
    bool same = getWord(bookmark, sizeof kMagic + 1) == static_cast<std::uint64_t>(st.st_dev) &&
                getWord(bookmark, sizeof kMagic + 9) == static_cast<std::uint64_t>(st.st_ino);
    return Resolution{path, !same};
}

// ---- BookmarkStore -----------------------------------------------------------------------------------

BookmarkStore::BookmarkStore(std::shared_ptr<DefaultsStore> defaults, std::shared_ptr<SecurityScope> scope)
    : defaults_(std::move(defaults)), scope_(std::move(scope)) {}

std::map<std::string, Bytes> BookmarkStore::storedMap() const {
    // A value of any other shape reads as no grants.
    return defaults_->byteMap(key).value_or(std::map<std::string, Bytes>{});
}

bool BookmarkStore::store(const std::string& root, const Bytes& bookmark) {
    std::lock_guard<std::mutex> guard(lock_);
    auto map = storedMap();
    map[root] = bookmark;
    try {
        defaults_->setByteMap(key, map);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool BookmarkStore::grant(const std::string& folder) {
    std::string root = normalisedRoot(folder);
    auto bookmark = scope_->makeBookmark(root);
    if (!bookmark)
        return false;
    return store(root, *bookmark);
}

void BookmarkStore::revoke(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    auto map = storedMap();
    if (map.erase(normalisedRoot(path)) == 0)
        return;
    defaults_->setByteMap(key, map);
}

std::vector<std::string> BookmarkStore::roots() const {
    std::vector<std::string> result;
    for (const auto& [root, bookmark] : storedMap())
        result.push_back(root);
    std::stable_sort(result.begin(), result.end(),
                     [](const std::string& a, const std::string& b) { return characterCount(a) > characterCount(b); });
    return result;
}

std::optional<std::string> BookmarkStore::resolvedURL(const std::string& path) {
    auto map = storedMap();
    std::vector<std::string> sorted;
    for (const auto& [root, bookmark] : map)
        sorted.push_back(root);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const std::string& a, const std::string& b) { return characterCount(a) > characterCount(b); });
    // Component-wise, so /a/b covers /a/b/c but not /a/bc; a grant of "/" covers every path.
    auto covering =
        std::find_if(sorted.begin(), sorted.end(), [&](const std::string& root) { return paths::isUnder(path, root); });
    if (covering == sorted.end())
        return std::nullopt;
    const Bytes& bookmark = map[*covering];
    if (bookmark.empty())
        return std::nullopt;
    auto resolution = scope_->resolveBookmark(bookmark);
    if (!resolution)
        return std::nullopt;
    if (resolution->stale) {
        if (auto fresh = scope_->makeBookmark(resolution->path))
            store(resolution->path, *fresh); // a failed refresh leaves the working stale one
    }
    return resolution->path;
}

// ---- ScopedFileAccess ------------------------------------------------------------------------------

ScopedFileAccess::ScopedFileAccess(std::shared_ptr<BookmarkStore> store, std::shared_ptr<SecurityScope> scope)
    : store_(std::move(store)), scope_(std::move(scope)) {}

bool ScopedFileAccess::beginAccess(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    if (auto it = active_.find(path); it != active_.end()) {
        ++it->second.depth;
        return true;
    }
    auto url = store_->resolvedURL(path);
    if (!url || !scope_->startAccessing(*url))
        return false;
    active_.emplace(path, Active{*url, 1});
    return true;
}

void ScopedFileAccess::endAccess(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = active_.find(path);
    if (it == active_.end())
        return;
    if (--it->second.depth < 1) {
        scope_->stopAccessing(it->second.url);
        active_.erase(it);
    }
}

int ScopedFileAccess::accessDepth(const std::string& path) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = active_.find(path);
    return it == active_.end() ? 0 : it->second.depth;
}

} // namespace stowage
