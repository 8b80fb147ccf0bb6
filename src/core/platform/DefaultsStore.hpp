#pragma once
// The per-user settings store: a typed JSON file at $XDG_CONFIG_HOME/stowage/defaults.json
// (default ~/.config/stowage), written atomically, safe for concurrent use within the process.
// Values keep their type, so "absent or of another type" is distinguishable from a stored value.

#include "core/Types.hpp"

#include <cstdint>
#include <map>
#include <memory>
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

} // namespace stowage
