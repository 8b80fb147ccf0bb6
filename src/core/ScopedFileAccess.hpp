#pragma once
// File access for a sandboxed process: folders the user granted are remembered as bookmarks in the
// per-user settings store, and access to a granted folder is opened and closed around each piece
// of work under it. Every other file operation behaves exactly as DirectFileAccess.
//
// Locks: ScopedFileAccess's lock is held for the whole of beginAccess/endAccess, including bookmark
// resolution; BookmarkStore's lock is held only around each read-modify-write of the stored map
// (grant, revoke, the refresh of a stale bookmark). The refresh runs inside beginAccess, so the
// order is always ScopedFileAccess first, BookmarkStore second; BookmarkStore never calls back.

#include "core/FileAccess.hpp"
#include "core/Types.hpp"
#include "core/platform/DefaultsStore.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace stowage {

/// Whether the process runs inside the platform's application sandbox.
struct Sandbox {
    Sandbox() = delete;
    /// True exactly when the environment holds "APP_SANDBOX_CONTAINER_ID", whatever its value.
    static bool isActive();
};

/// The platform's security-scoped bookmarks and access to granted folders.
class SecurityScope {
public:
    struct Resolution {
        std::string path;
        /// The bookmark still resolves but should be made afresh.
        bool stale = false;
    };

    virtual ~SecurityScope() = default;
    /// Bookmark data for a folder; absent when none can be made.
    virtual std::optional<Bytes> makeBookmark(const std::string& folder) const = 0;
    /// The folder a bookmark stands for; absent when it no longer resolves.
    virtual std::optional<Resolution> resolveBookmark(const Bytes& bookmark) const = 0;
    virtual bool startAccessing(const std::string& folder) = 0;
    virtual void stopAccessing(const std::string& folder) = 0;

    /// The implementation of this platform (shared, stateless).
    static std::shared_ptr<SecurityScope> platform();
};

/// Linux has no application sandbox, so a bookmark is a token that names the folder: the bytes
/// "STWB", format 1, the folder's device and inode numbers (8 bytes each, big-endian) and its path.
/// It resolves to that path while a folder exists there; when the folder at the path is no longer
/// the one bookmarked (another device or inode, e.g. deleted and made again) the bookmark still
/// resolves but is stale, so the next use refreshes it. Starting and stopping access always succeed.
class PathBookmarkScope : public SecurityScope {
public:
    std::optional<Bytes> makeBookmark(const std::string& folder) const override;
    std::optional<Resolution> resolveBookmark(const Bytes& bookmark) const override;
    bool startAccessing(const std::string&) override { return true; }
    void stopAccessing(const std::string&) override {}
};

/// The folders the user granted, persisted as a map from root path to bookmark bytes.
class BookmarkStore {
public:
    static constexpr const char* key = "io.stowage.scopedBookmarks";

    explicit BookmarkStore(std::shared_ptr<DefaultsStore> defaults,
                           std::shared_ptr<SecurityScope> scope = SecurityScope::platform());

    /// Remembers a folder the user picked (replacing an earlier grant of the same path); false when
    /// no bookmark can be made for it or it cannot be saved, and nothing changes then.
    bool grant(const std::string& folder);
    /// Forgets a granted root; no error when it was not granted. Throws the settings store's error
    /// when the change cannot be saved.
    void revoke(const std::string& path);
    /// Granted root paths, longest first (equal lengths keep the stored order).
    std::vector<std::string> roots() const;
    /// The resolved folder of the longest granted root that is `path` or an ancestor of it; absent
    /// when none covers it or its bookmark no longer resolves. A stale bookmark is refreshed.
    std::optional<std::string> resolvedURL(const std::string& path);

private:
    std::map<std::string, Bytes> storedMap() const;
    bool store(const std::string& root, const Bytes& bookmark);

    std::shared_ptr<DefaultsStore> defaults_;
    std::shared_ptr<SecurityScope> scope_;
    std::mutex lock_;
};

/// File access through folders granted to a sandboxed process.
class ScopedFileAccess : public FileAccessProvider {
public:
    explicit ScopedFileAccess(std::shared_ptr<BookmarkStore> store,
                              std::shared_ptr<SecurityScope> scope = SecurityScope::platform());

    const std::shared_ptr<BookmarkStore>& store() const { return store_; }

    bool exists(const std::string& path) const override { return direct_.exists(path); }
    std::optional<FileInfo> info(const std::string& path) const override { return direct_.info(path); }
    std::vector<std::string> children(const std::string& path) const override { return direct_.children(path); }
    std::optional<std::vector<std::string>> listing(const std::string& path) const override {
        return direct_.listing(path);
    }
    std::optional<Bytes> read(const std::string& path) const override { return direct_.read(path); }
    std::optional<Bytes> readAtMost(const std::string& path, std::int64_t maxBytes, bool* tooLarge) const override {
        return direct_.readAtMost(path, maxBytes, tooLarge);
    }
    using FileAccessProvider::write;
    void write(const Bytes& data, const std::string& path, std::optional<std::uint16_t> mode) override {
        direct_.write(data, path, mode);
    }
    using FileAccessProvider::createDirectory;
    void createDirectory(const std::string& path, std::optional<std::uint16_t> mode) override {
        direct_.createDirectory(path, mode);
    }
    void remove(const std::string& path) override { direct_.remove(path); }
    void copyItem(const std::string& source, const std::string& destination) override {
        direct_.copyItem(source, destination);
    }
    std::optional<std::string> destinationOfSymlink(const std::string& path) const override {
        return direct_.destinationOfSymlink(path);
    }
    void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                      std::optional<std::uint16_t> mode) override {
        direct_.writeBeneath(root, data, path, mode);
    }
    void createDirectoryBeneath(const std::string& root, const std::string& path,
                                std::optional<std::uint16_t> mode) override {
        direct_.createDirectoryBeneath(root, path, mode);
    }

    /// Opens access to the granted folder covering `path`; nested calls for the same path only
    /// count. False when no grant covers it or the platform refuses (nothing is recorded then).
    bool beginAccess(const std::string& path) override;
    /// Closes one level for `path`; the last one stops access. Unknown paths are ignored.
    void endAccess(const std::string& path) override;

    /// Open beginAccess calls for exactly this path (0 when access is not open).
    int accessDepth(const std::string& path) const;

private:
    struct Active {
        std::string url;
        int depth;
    };

    std::shared_ptr<BookmarkStore> store_;
    std::shared_ptr<SecurityScope> scope_;
    DirectFileAccess direct_;
    mutable std::mutex lock_;
    std::map<std::string, Active> active_;
};

} // namespace stowage
