#pragma once
// A FileAccessProvider decorator for crash and I/O-error tests: it passes every call to an inner
// provider (a DirectFileAccess unless given) and makes a chosen call of a write-side operation fail
// with a chosen error, either before the call reaches the inner provider (nothing changed on disk)
// or after it (the change happened but the caller is told it failed). Safe to share between threads.

#include "core/FileAccess.hpp"

#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace stowage::testing {

class FaultInjectingFileAccess : public FileAccessProvider {
public:
    enum class Operation { write, createDirectory, remove, copyItem };
    enum class When { before, after };

    explicit FaultInjectingFileAccess(FileAccessPtr inner = std::make_shared<DirectFileAccess>());

    /// The `nth` call (1-based, counted over the object's lifetime) of `operation` throws `error`.
    void failOn(Operation operation, int nth, std::exception_ptr error, When when = When::before);
    /// Same, with the error a real failure of that operation would raise: BackupError::io("could not
    /// write <path>") for write, a std::filesystem::filesystem_error (EIO) for the others.
    void failOn(Operation operation, int nth, When when = When::before);
    /// Same, with the error the operation raises when the system answers `reason` (ENOSPC, EIO,
    /// EACCES…): a filesystem_error carrying it, or for write the BackupError a failed write gives.
    void failOn(Operation operation, int nth, std::errc reason, When when = When::before);
    /// Every call of `operation` from the `nth` on fails (a full disk, a lost mount).
    void failFrom(Operation operation, int nth);

    /// Calls of `operation` so far (failed ones included).
    int calls(Operation operation) const;
    /// Paths of the calls that were made to fail, in order.
    std::vector<std::string> failedPaths() const;

    bool exists(const std::string& path) const override { return inner_->exists(path); }
    std::optional<FileInfo> info(const std::string& path) const override { return inner_->info(path); }
    std::vector<std::string> children(const std::string& path) const override { return inner_->children(path); }
    std::optional<std::vector<std::string>> listing(const std::string& path) const override {
        return inner_->listing(path);
    }
    std::optional<Bytes> read(const std::string& path) const override { return inner_->read(path); }
    using FileAccessProvider::write;
    void write(const Bytes& data, const std::string& path, std::optional<std::uint16_t> mode) override;
    using FileAccessProvider::createDirectory;
    void createDirectory(const std::string& path, std::optional<std::uint16_t> mode) override;
    void remove(const std::string& path) override;
    void copyItem(const std::string& source, const std::string& destination) override;
    std::optional<std::string> destinationOfSymlink(const std::string& path) const override {
        return inner_->destinationOfSymlink(path);
    }
    /// Counted and failed as `write` and `createDirectory` calls.
    void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                      std::optional<std::uint16_t> mode) override;
    void createDirectoryBeneath(const std::string& root, const std::string& path,
                                std::optional<std::uint16_t> mode) override;
    bool beginAccess(const std::string& path) override { return inner_->beginAccess(path); }
    void endAccess(const std::string& path) override { inner_->endAccess(path); }

private:
    struct Fault {
        std::exception_ptr error; // null: the operation's natural error with `reason`
        When when;
        std::errc reason = std::errc::io_error;
    };

    template <typename Call> void run(Operation operation, const std::string& path, Call&& call);
    static std::exception_ptr naturalError(Operation operation, const std::string& path,
                                           std::errc reason = std::errc::io_error);

    FileAccessPtr inner_;
    mutable std::mutex mutex_;
    std::map<Operation, int> calls_;
    std::map<std::pair<Operation, int>, Fault> faults_;
    std::map<Operation, int> failFrom_;
    std::vector<std::string> failedPaths_;
};

} // namespace stowage::testing
