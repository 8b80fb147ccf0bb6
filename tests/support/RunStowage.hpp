#pragma once
// Runs the built `stowage` program as the user runs it: a child process with standard input from
// /dev/null (or given text), this process's environment changed by the caller, never the user's
// keyring (the session bus leads nowhere unless the caller sets one), and no colour.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace stowage::testing {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

/// An environment value that sets the variable to the empty text.
inline const std::string setButEmpty = "<set but empty>";

/// `environment`: an empty value removes the variable, setButEmpty sets it empty.
/// STOWAGE_PASSPHRASE and STOWAGE_RECOVERY_CODE are removed unless given. Runs in `cwd` when given.
Outcome runProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment = {},
                   const std::optional<std::string>& input = std::nullopt, const std::string& cwd = {});

bool contains(const std::string& text, const std::string& part);

} // namespace stowage::testing
