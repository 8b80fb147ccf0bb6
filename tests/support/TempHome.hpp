#pragma once
// A temporary home folder for one test: HOME, XDG_CONFIG_HOME and XDG_DATA_HOME point into a fresh
// folder for the object's lifetime and are restored afterwards. The folder is removed on destruction.
// The system folders that desktop entries are read from point into the same fresh folder too
// (XDG_DATA_DIRS → <root>/system/usr/share, FLATPAK_SYSTEM_DIR → <root>/system/var/lib/flatpak,
// SNAPPY_GLOBAL_ROOT → <root>/system), so no test sees the machine's installed applications.

#include <cstdint>
#include <exception>
#include <functional>
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
    /// The stand-in for "/" of the system folders above (absolute, no trailing "/").
    std::string systemRoot() const { return root_ + "/system"; }

private:
    std::string root_;
    std::string home_;
    std::optional<std::string> savedHome_, savedConfig_, savedData_, savedDataDirs_, savedFlatpak_, savedSnap_;
};

/// Reads a whole file; empty when unreadable.
std::string slurp(const std::string& path);

/// The `what()` of the exception `call` throws as `E`; "no error" when it throws nothing.
template <typename E = std::exception> std::string errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "no error";
}

/// Runs a command line through /bin/sh and returns its exit status (test set-up only).
int sh(const std::string& command);

} // namespace stowage::testing
