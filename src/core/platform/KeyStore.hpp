#pragma once
// The per-user secret store that keeps one copy of the random bundle key: one item, service
// "io.stowage.bundle", account "primary", holding the 32 raw key bytes; storing replaces it.
//
// On Linux the item lives in the freedesktop Secret Service (GNOME Keyring, KWallet) through
// libsecret. When no Secret Service answers, it lives in a file readable only by its owner under
// $XDG_DATA_HOME/stowage. A file copy only ever exists when it was written after the last successful
// Secret Service store (that store removes it), so when both exist the file holds the newer key.
//
// Stores are synchronous and may block (a keyring waiting on an unlock prompt); callers that must
// not hang bound their wait (BundleKey::storeInKeychain / loadFromKeychain).

#include "core/KDF.hpp"

#include <memory>
#include <optional>
#include <string>

namespace stowage {

inline constexpr const char* keychainService = "io.stowage.bundle";
inline constexpr const char* keychainAccount = "primary";

class KeyStore {
public:
    enum class Status {
        ok,
        /// The store answered and holds no item.
        notFound,
        /// Nothing answered (no session bus, no Secret Service): another store may stand in.
        unavailable,
        /// The store answered and refused, or holds something that is not a 32-byte key.
        failed,
    };

    struct Loaded {
        Status status = Status::notFound;
        /// Present exactly when status is ok.
        std::optional<SymmetricKey> key;
    };

    virtual ~KeyStore() = default;

    /// Replaces the item with `key`.
    virtual Status store(const SymmetricKey& key) = 0;
    virtual Loaded load() = 0;
    /// Deletes the item; a missing item is ok.
    virtual Status remove() = 0;

    /// This user's store: the Secret Service, standing in the file store when no Secret Service
    /// answers. Built per call, so it follows the current environment ($XDG_DATA_HOME, the bus).
    static std::shared_ptr<KeyStore> standard();
    /// Makes standard() answer `store` instead (nullptr restores the platform store). For tests of
    /// callers and for tools that must not touch the user's keyring; applies process-wide.
    static void overrideStandard(std::shared_ptr<KeyStore> store);
};

/// The freedesktop Secret Service through libsecret: a generic item with the attributes service and
/// account in the default collection. Sessions with no reachable service answer `unavailable`.
class SecretServiceKeyStore final : public KeyStore {
public:
    Status store(const SymmetricKey& key) override;
    Loaded load() override;
    Status remove() override;
};

/// One file of 32 raw bytes, mode 0600, in a folder of mode 0700, replaced atomically.
class FileKeyStore final : public KeyStore {
public:
    /// `folder` is created when missing; an existing one is narrowed to 0700 when it is ours.
    explicit FileKeyStore(std::string folder);

    /// $XDG_DATA_HOME/stowage when XDG_DATA_HOME is an absolute path, else ~/.local/share/stowage.
    static std::string defaultFolder();

    const std::string& folder() const { return folder_; }
    /// The item's file inside the folder.
    std::string filePath() const;

    Status store(const SymmetricKey& key) override;
    Loaded load() override;
    Status remove() override;

private:
    std::string folder_;
};

/// A primary store with a stand-in used only while the primary does not answer. A successful primary
/// store removes the stand-in's copy, so a copy there is always the newer one and is read first.
class FallbackKeyStore final : public KeyStore {
public:
    FallbackKeyStore(std::shared_ptr<KeyStore> primary, std::shared_ptr<KeyStore> standIn);

    Status store(const SymmetricKey& key) override;
    Loaded load() override;
    Status remove() override;

private:
    std::shared_ptr<KeyStore> primary_;
    std::shared_ptr<KeyStore> standIn_;
};

} // namespace stowage
