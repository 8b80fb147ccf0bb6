#pragma once
// A temporary home folder for one test: HOME, XDG_CONFIG_HOME and XDG_DATA_HOME point into a fresh
// folder for the object's lifetime and are restored afterwards. The folder is removed on destruction.

#include <cstdint>
#include <optional>
#include <string>

namespace stowage::testing {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    /// The temporary home folder (absolute, no trailing "/").
    const std::string& path() const { return home_; }
    /// home + "/" + relative.
    std::string operator/(const std::string& relative) const;

    /// Creates parent folders as needed and writes `content`; applies `mode` when given.
    std::string writeFile(const std::string& relative, const std::string& content,
                          std::optional<std::uint16_t> mode = std::nullopt) const;
    std::string makeDir(const std::string& relative) const;

private:
    std::string root_;
    std::string home_;
    std::optional<std::string> savedHome_, savedConfig_, savedData_;
};

/// Reads a whole file; empty when unreadable.
std::string slurp(const std::string& path);

/// Runs a command line through /bin/sh and returns its exit status (test set-up only).
int sh(const std::string& command);

} // namespace stowage::testing
