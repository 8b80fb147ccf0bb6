#include "core/BackupError.hpp"

namespace stowage {

BackupError::BackupError(Kind kind, std::int32_t status, std::string message)
    : kind_(kind), status_(status), message_(std::move(message)) {
    switch (kind_) {
    case Kind::keychain:
        description_ = "Keychain error (status " + std::to_string(status_) + ")";
        break;
    case Kind::io:
        description_ = "I/O error: " + message_;
        break;
    case Kind::badRecoveryCode:
        description_ = "Recovery code is not valid";
        break;
    case Kind::decryptFailed:
        description_ = "Could not decrypt bundle \u2014 wrong key or corrupt file";
        break;
    }
}

} // namespace stowage
