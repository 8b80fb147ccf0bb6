#pragma once
// The per-user settings store: a typed JSON file at $XDG_CONFIG_HOME/stowage/defaults.json
// (default ~/.config/stowage), written atomically, safe for concurrent use within the process.
// Values keep their type, so "absent or of another type" is distinguishable from a stored value.

#include "core/Types.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace stowage {

class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;

    /// Each getter answers absent when the key is missing or holds a value of another type.
    virtual std::optional<std::string> string(const std::string& key) const = 0;
    virtual std::optional<bool> boolean(const std::string& key) const = 0;
    virtual std::optional<std::int64_t> integer(const std::string& key) const = 0;
    virtual std::optional<double> real(const std::string& key) const = 0;
    virtual std::optional<std::vector<std::string>> stringArray(const std::string& key) const = 0;
    virtual std::optional<std::map<std::string, Bytes>> byteMap(const std::string& key) const = 0;
    virtual bool contains(const std::string& key) const = 0;

    /// Setters write the whole store through before returning; when it cannot be saved they throw the
    /// file layer's error and the stored value stays as it was.
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setBoolean(const std::string& key, bool value) = 0;
    virtual void setInteger(const std::string& key, std::int64_t value) = 0;
    virtual void setReal(const std::string& key, double value) = 0;
    virtual void setStringArray(const std::string& key, const std::vector<std::string>& value) = 0;
    virtual void setByteMap(const std::string& key, const std::map<std::string, Bytes>& value) = 0;
    virtual void removeValue(const std::string& key) = 0;

    /// The store of the current user (file under $XDG_CONFIG_HOME/stowage).
    static std::shared_ptr<DefaultsStore> standard();
};

/// The store kept in one JSON file (the Linux implementation; the file layout is described in
/// DefaultsStore.cpp). Any number of objects, threads and processes may use the same file.
class JsonDefaultsStore : public DefaultsStore {
public:
    explicit JsonDefaultsStore(std::string path);

    /// $XDG_CONFIG_HOME/stowage/defaults.json, or ~/.config/stowage/defaults.json.
    static std::string standardPath();
    const std::string& path() const { return path_; }

    std::optional<std::string> string(const std::string& key) const override;
    std::optional<bool> boolean(const std::string& key) const override;
    std::optional<std::int64_t> integer(const std::string& key) const override;
    std::optional<double> real(const std::string& key) const override;
    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override;
    std::optional<std::map<std::string, Bytes>> byteMap(const std::string& key) const override;
    bool contains(const std::string& key) const override;

    void setString(const std::string& key, const std::string& value) override;
    void setBoolean(const std::string& key, bool value) override;
    void setInteger(const std::string& key, std::int64_t value) override;
    void setReal(const std::string& key, double value) override;
    void setStringArray(const std::string& key, const std::vector<std::string>& value) override;
    void setByteMap(const std::string& key, const std::map<std::string, Bytes>& value) override;
    void removeValue(const std::string& key) override;

private:
    void refreshLocked() const;
    std::optional<nlohmann::json> stored(const std::string& key, const char* type) const;
    /// Read-modify-write of the file: `entry` absent removes the key.
    void change(const std::string& key, std::optional<nlohmann::json> entry);

    std::string path_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, nlohmann::json> entries_;
    mutable std::optional<std::array<std::int64_t, 5>> stamp_; // device, inode, size, modification time
    mutable bool loaded_ = false;
};

} // namespace stowage
