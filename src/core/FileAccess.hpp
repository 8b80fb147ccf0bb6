#pragma once
// The one interface through which scanners, engines and the secrets bundle touch files.
// Read-side operations never throw (absent / false / empty instead); write-side operations throw.

#include "core/Types.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stowage {

struct FileInfo {
    bool isDirectory = false;
    /// The entry itself is a symbolic link (never followed).
    bool isSymlink = false;
    std::int64_t size = 0;
    std::optional<Timestamp> modified;
    /// Permission bits; 0600 when they cannot be read.
    std::uint16_t posixPermissions = 0600;
};

class FileAccessProvider {
public:
    virtual ~FileAccessProvider() = default;

    /// Follows a final link: a dangling link does not exist.
    virtual bool exists(const std::string& path) const = 0;
    /// Examines the entry itself without following a final link; absent when it cannot be examined.
    virtual std::optional<FileInfo> info(const std::string& path) const = 0;
    /// Full child paths (hidden entries included) in listing order; empty on any failure.
    virtual std::vector<std::string> children(const std::string& path) const = 0;
    /// Like children(), but absent when the folder could not be listed, so a copy can tell an
    /// unreadable folder from an empty one. This default cannot tell and never answers absent.
    virtual std::optional<std::vector<std::string>> listing(const std::string& path) const;
    /// Whole contents; absent when unreadable. No size limit at this layer.
    virtual std::optional<Bytes> read(const std::string& path) const = 0;
    /// Whole contents of a file of at most `maxBytes`; absent when unreadable or larger, and then
    /// `*tooLarge` (when given) tells which. Every read of bytes from outside whose size is not
    /// bounded otherwise goes through it, so a hostile or damaged file cannot fill memory. This
    /// default looks at the size first; an implementation that can bound the read itself does.
    virtual std::optional<Bytes> readAtMost(const std::string& path, std::int64_t maxBytes, bool* tooLarge) const;
    /// Atomically replaces `path` with `data`: the old content stays intact until the new
    /// content is on disk, and the file carries exactly `mode` (when given) from its first byte.
    /// Missing parent folders are created; for a mode without group or other bits they are 0700.
    virtual void write(const Bytes& data, const std::string& path, std::optional<std::uint16_t> mode) = 0;
    void write(const Bytes& data, const std::string& path) { write(data, path, std::nullopt); }
    /// Creates the folder and any missing parents; an existing folder is success. With `mode` the
    /// folder (new or existing) is then given exactly those permission bits; parents are not changed.
    virtual void createDirectory(const std::string& path, std::optional<std::uint16_t> mode) = 0;
    void createDirectory(const std::string& path) { createDirectory(path, std::nullopt); }
    /// Removes the item (recursively); a missing item is success.
    virtual void remove(const std::string& path) = 0;
    /// Copies a file or a whole folder, replacing whatever is at `destination`.
    virtual void copyItem(const std::string& source, const std::string& destination) = 0;
    /// The link's target as an absolute path (relative targets joined to the link's folder, not
    /// normalised); absent when the entry is not a readable link.
    virtual std::optional<std::string> destinationOfSymlink(const std::string& path) const = 0;
    /// Like write(), but the file can only land below `root`, whatever links lie in the way: the
    /// root itself is taken as given (a link to it is followed, and it is created when missing), every
    /// folder between it and the file is entered without following a link (missing ones are created,
    /// 0700 for a mode without group or other bits, then entered the same way), and a link at the
    /// file's own name is replaced, never written through. `path` must lie strictly below `root` with
    /// no "." or ".." component. Throws BackupError::io("will not write through the link <path>") for
    /// a link on the way, BackupError::io("could not write <path>: a folder is in the way") when a
    /// folder holds the file's name, and the errors of write() otherwise. The default checks each
    /// folder with info() around the provider's own calls; DirectFileAccess walks with openat and
    /// O_NOFOLLOW, so nothing swapped in between check and use can send the write elsewhere.
    virtual void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                              std::optional<std::uint16_t> mode);
    /// createDirectory() under the same rules as writeBeneath (the folder itself is entered without
    /// following a link too). With `mode` the folder, new or existing, is given exactly those bits, and
    /// missing folders on the way are 0700 when the mode has no group or other bits.
    virtual void createDirectoryBeneath(const std::string& root, const std::string& path,
                                        std::optional<std::uint16_t> mode);
    /// Opens access to a folder tree; callers proceed whatever the answer.
    virtual bool beginAccess(const std::string&) { return true; }
    virtual void endAccess(const std::string&) {}
};

using FileAccessPtr = std::shared_ptr<FileAccessProvider>;

/// True for the name (last component) of an atomic write's temporary item, in progress or left by a
/// killed process. Such an item is never the user's content: copies of trees pass over it.
bool isTemporaryName(const std::string& name);

/// Removes from `folder` the temporary items of atomic writes whose process is gone (a killed
/// backup or restore), once per folder per process. Writes do this for the folders they write
/// into; a run that leaves a folder's files as they are calls it so nothing lingers there.
void removeTemporaryLeftovers(const std::string& folder);

/// Keeps access to folder trees open for one scope, as every reader of a tree must: beginAccess on
/// each root when made, endAccess on each in reverse order when left, also when an exception leaves.
class AccessScope {
public:
    AccessScope(FileAccessProvider& access, std::vector<std::string> roots);
    AccessScope(FileAccessProvider& access, std::string root)
        : AccessScope(access, std::vector<std::string>{std::move(root)}) {}
    ~AccessScope();
    AccessScope(const AccessScope&) = delete;
    AccessScope& operator=(const AccessScope&) = delete;

private:
    FileAccessProvider& access_;
    std::vector<std::string> roots_;
};

/// Plain file-system access; stateless.
class DirectFileAccess : public FileAccessProvider {
public:
    bool exists(const std::string& path) const override;
    std::optional<FileInfo> info(const std::string& path) const override;
    std::vector<std::string> children(const std::string& path) const override;
    std::optional<std::vector<std::string>> listing(const std::string& path) const override;
    std::optional<Bytes> read(const std::string& path) const override;
    std::optional<Bytes> readAtMost(const std::string& path, std::int64_t maxBytes, bool* tooLarge) const override;
    using FileAccessProvider::write;
    void write(const Bytes& data, const std::string& path, std::optional<std::uint16_t> mode) override;
    using FileAccessProvider::createDirectory;
    void createDirectory(const std::string& path, std::optional<std::uint16_t> mode) override;
    void remove(const std::string& path) override;
    void copyItem(const std::string& source, const std::string& destination) override;
    std::optional<std::string> destinationOfSymlink(const std::string& path) const override;
    void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                      std::optional<std::uint16_t> mode) override;
    void createDirectoryBeneath(const std::string& root, const std::string& path,
                                std::optional<std::uint16_t> mode) override;
};

} // namespace stowage
