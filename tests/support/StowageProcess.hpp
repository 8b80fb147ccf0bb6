#pragma once
// Runs the built `stowage` as a child process, as a user would: the test's environment (so HOME is
// the temporary home) without a session bus, so the keychain is the owner-only file store under
// that home, and never with the caller's STOWAGE_PASSPHRASE. Output goes to files, not pipes, so
// a child killed at any moment cannot block the test.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace stowage::testing {

struct ChildRun {
    /// The exit status; -1 when the child was killed by a signal.
    int status = -1;
    bool killed = false;
    std::string out;
    std::string err;
    /// How long the child ran.
    std::chrono::microseconds elapsed{0};
};

/// An environment value that sets the variable to the empty text.
inline const std::string setButEmpty = "<set but empty>";

/// Runs `binary` with `arguments`; `environment` changes the inherited environment (an empty value
/// removes the variable, setButEmpty sets it empty). With `killAfter`, the child is sent SIGKILL
/// that long after its start, unless it has ended by then. Standard input is `input` when given,
/// else /dev/null; the child runs in `cwd` when given.
ChildRun runChild(const std::string& binary, const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment = {},
                  std::optional<std::chrono::microseconds> killAfter = std::nullopt,
                  const std::optional<std::string>& input = std::nullopt, const std::string& cwd = {});

#ifdef STOWAGE_BINARY_DIR
inline ChildRun runStowage(const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment = {},
                           std::optional<std::chrono::microseconds> killAfter = std::nullopt) {
    return runChild(STOWAGE_BINARY_DIR "/src/stowage", arguments, environment, killAfter);
}
#endif

} // namespace stowage::testing
