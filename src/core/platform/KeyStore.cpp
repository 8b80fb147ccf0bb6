#include "core/platform/KeyStore.hpp"

#include "core/Paths.hpp"

// GLib headers stay in this file: their macros clash with Qt's in code that includes both.
#include <libsecret/secret.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace stowage {

// ---- standard() ------------------------------------------------------------------------------

namespace {

std::mutex overrideMutex;
std::shared_ptr<KeyStore> overrideStore;

} // namespace

std::shared_ptr<KeyStore> KeyStore::standard() {
    {
        std::lock_guard lock(overrideMutex);
        if (overrideStore)
            return overrideStore;
    }
    return std::make_shared<FallbackKeyStore>(std::make_shared<SecretServiceKeyStore>(),
                                              std::make_shared<FileKeyStore>(FileKeyStore::defaultFolder()));
}

void KeyStore::overrideStandard(std::shared_ptr<KeyStore> store) {
    std::lock_guard lock(overrideMutex);
    overrideStore = std::move(store);
}

// ---- Secret Service --------------------------------------------------------------------------

namespace {

const SecretSchema& bundleKeySchema() {
    // Items are matched by their attributes alone, so an item another tool filed under the same
    // service and account is found and replaced too.
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "io.stowage.bundle";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return schema;
}

/// Errors meaning that no Secret Service answered at all, as opposed to one that answered and refused.
bool meansUnavailable(const GError* error) {
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_NO_NETWORK:
        case G_DBUS_ERROR_BAD_ADDRESS:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_UNKNOWN_METHOD:
        case G_DBUS_ERROR_UNKNOWN_OBJECT:
        case G_DBUS_ERROR_UNKNOWN_INTERFACE:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
        case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY:
            return true;
        default:
            return false;
        }
    }
    // Connection-level failures (no bus address, socket missing, refused, closed); a cancelled
    // operation or dismissed prompt is an answer.
    if (error->domain == G_IO_ERROR)
        return error->code != G_IO_ERROR_CANCELLED;
    return error->domain == G_SPAWN_ERROR;
}

KeyStore::Status statusOf(GError* error) {
    const KeyStore::Status status = meansUnavailable(error) ? KeyStore::Status::unavailable : KeyStore::Status::failed;
    g_error_free(error);
    return status;
}

/// Connects to the session bus once and keeps the connection for the life of the process, with
/// GLib's exit-on-close switched off: a keychain client must not take the application down when the
/// session bus goes away. libsecret shares this connection (GLib keeps one per bus).
bool prepareSessionBus(GError** error) {
    static std::mutex mutex;
    static GDBusConnection* connection = nullptr;
    std::lock_guard lock(mutex);
    if (connection != nullptr && !g_dbus_connection_is_closed(connection))
        return true;
    GDBusConnection* fresh = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    if (fresh == nullptr)
        return false;
    g_dbus_connection_set_exit_on_close(fresh, FALSE);
    if (connection != nullptr)
        g_object_unref(connection);
    connection = fresh;
    return true;
}

} // namespace

KeyStore::Status SecretServiceKeyStore::store(const SymmetricKey& key) {
    GError* error = nullptr;
    if (!prepareSessionBus(&error))
        return statusOf(error);

    // Exactly one item: remove every matching one first. Whether anything was removed does not
    // matter, but a service that cannot be reached here will not be reached by the store either.
    secret_password_clear_sync(&bundleKeySchema(), nullptr, &error, "service", keychainService, "account",
                               keychainAccount, nullptr);
    if (error != nullptr) {
        if (meansUnavailable(error))
            return statusOf(error);
        g_clear_error(&error);
    }

    // libsecret keeps the copy in non-swappable memory that it wipes when the value is released.
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(key.data()), static_cast<gssize>(key.size()),
                                          "application/octet-stream");
    const gboolean stored = secret_password_store_binary_sync(&bundleKeySchema(), SECRET_COLLECTION_DEFAULT,
                                                              "Stowage bundle key", value, nullptr, &error, "service",
                                                              keychainService, "account", keychainAccount, nullptr);
    secret_value_unref(value);
    if (error != nullptr)
        return statusOf(error);
    return stored ? Status::ok : Status::failed;
}

KeyStore::Loaded SecretServiceKeyStore::load() {
    GError* error = nullptr;
    if (!prepareSessionBus(&error))
        return {statusOf(error), std::nullopt};
    SecretValue* value = secret_password_lookup_binary_sync(&bundleKeySchema(), nullptr, &error, "service",
                                                            keychainService, "account", keychainAccount, nullptr);
    if (error != nullptr) {
        if (value != nullptr)
            secret_value_unref(value);
        return {statusOf(error), std::nullopt};
    }
    if (value == nullptr)
        return {Status::notFound, std::nullopt};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    auto key = SymmetricKey::fromBytes(reinterpret_cast<const std::uint8_t*>(bytes), length);
    secret_value_unref(value);
    if (!key)
        return {Status::failed, std::nullopt};
    return {Status::ok, std::move(key)};
}

KeyStore::Status SecretServiceKeyStore::remove() {
    GError* error = nullptr;
    if (!prepareSessionBus(&error))
        return statusOf(error);
    secret_password_clear_sync(&bundleKeySchema(), nullptr, &error, "service", keychainService, "account",
                               keychainAccount, nullptr);
    if (error != nullptr)
        return statusOf(error);
    return Status::ok;
}

// ---- File store ------------------------------------------------------------------------------

namespace {

constexpr const char* keyFileName = "io.stowage.bundle-primary.key";

/// Creates `path` and its missing parents with mode 0700 (parents under the home folder are the
/// user's private data folders, which the XDG rules create that way too).
bool makeFolders(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::string parent = paths::parent(path);
    if (!parent.empty() && parent != path && !makeFolders(parent))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

FileKeyStore::FileKeyStore(std::string folder) : folder_(std::move(folder)) {}

std::string FileKeyStore::defaultFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    // Relative values are invalid by the XDG rules and are ignored.
    if (dataHome != nullptr && dataHome[0] == '/')
        return paths::join(dataHome, "stowage");
    return paths::join(paths::join(paths::homeFolder(), ".local/share"), "stowage");
}

std::string FileKeyStore::filePath() const {
    return paths::join(folder_, keyFileName);
}

KeyStore::Status FileKeyStore::store(const SymmetricKey& key) {
    if (!makeFolders(folder_))
        return Status::failed;
    struct stat st {};
    if (::stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return Status::failed;
    if ((st.st_mode & 07777) != 0700 && ::chmod(folder_.c_str(), 0700) != 0)
        return Status::failed;

    const std::string target = filePath();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        static const char digits[] = "0123456789abcdef";
        std::string suffix;
        for (std::uint8_t b : KDF::randomData(6)) {
            suffix += digits[b >> 4];
            suffix += digits[b & 15];
        }
        temporary = paths::join(folder_, "." + std::string(keyFileName) + "." + suffix);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return Status::failed;
    }
    if (fd < 0)
        return Status::failed;

    // The file is 0600 from its creation; fchmod only undoes a umask that removed owner bits.
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, key.data(), key.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return Status::failed;
    }
    // Make the rename itself durable.
    const int dirFd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return Status::ok;
}

KeyStore::Loaded FileKeyStore::load() {
    const int fd = ::open(filePath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {errno == ENOENT || errno == ENOTDIR ? Status::notFound : Status::failed, std::nullopt};
    struct stat st {};
    // Only a plain file of this user counts: a link, a device or another user's file is not the item.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return {Status::failed, std::nullopt};
    }
    std::array<std::uint8_t, SymmetricKey::byteCount + 1> buffer{};
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + filled, buffer.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    auto key = SymmetricKey::fromBytes(buffer.data(), filled);
    secureWipe(buffer.data(), buffer.size());
    if (!key)
        return {Status::failed, std::nullopt};
    return {Status::ok, std::move(key)};
}

KeyStore::Status FileKeyStore::remove() {
    if (::unlink(filePath().c_str()) == 0 || errno == ENOENT || errno == ENOTDIR)
        return Status::ok;
    return Status::failed;
}

// ---- Fallback --------------------------------------------------------------------------------

FallbackKeyStore::FallbackKeyStore(std::shared_ptr<KeyStore> primary, std::shared_ptr<KeyStore> standIn)
    : primary_(std::move(primary)), standIn_(std::move(standIn)) {}

KeyStore::Status FallbackKeyStore::store(const SymmetricKey& key) {
    const Status status = primary_->store(key);
    if (status == Status::ok)
        // A stand-in copy left from a time without the primary would now shadow the new key.
        return standIn_->remove() == Status::ok ? Status::ok : Status::failed;
    if (status == Status::unavailable)
        return standIn_->store(key);
    return status;
}

KeyStore::Loaded FallbackKeyStore::load() {
    Loaded standIn = standIn_->load();
    if (standIn.status == Status::ok)
        return standIn;
    Loaded primary = primary_->load();
    if (primary.status == Status::unavailable)
        return standIn;
    return primary;
}

KeyStore::Status FallbackKeyStore::remove() {
    const Status standIn = standIn_->remove();
    const Status primary = primary_->remove();
    if (primary == Status::unavailable)
        return standIn;
    return primary == Status::ok && standIn == Status::ok ? Status::ok : Status::failed;
}

} // namespace stowage
