#pragma once
// The one error type of file access, keys, the secrets bundle, backup and restore.
// what() is exactly the sentence shown to the user.

#include <cstdint>
#include <exception>
#include <string>

namespace stowage {

class BackupError : public std::exception {
public:
    enum class Kind { keychain, io, badRecoveryCode, decryptFailed };

    static BackupError keychain(std::int32_t status) { return BackupError(Kind::keychain, status, {}); }
    static BackupError io(std::string message) { return BackupError(Kind::io, 0, std::move(message)); }
    static BackupError badRecoveryCode() { return BackupError(Kind::badRecoveryCode, 0, {}); }
    static BackupError decryptFailed() { return BackupError(Kind::decryptFailed, 0, {}); }

    Kind kind() const noexcept { return kind_; }
    /// Platform status of a keychain error (0 for other kinds).
    std::int32_t status() const noexcept { return status_; }
    /// Message of an io error (empty for other kinds).
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const BackupError& other) const {
        return kind_ == other.kind_ && status_ == other.status_ && message_ == other.message_;
    }

private:
    BackupError(Kind kind, std::int32_t status, std::string message);

    Kind kind_;
    std::int32_t status_;
    std::string message_;
    std::string description_;
};

} // namespace stowage
