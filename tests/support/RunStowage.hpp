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

/// `environment`: an empty value removes the variable. STOWAGE_PASSPHRASE is removed unless given.
Outcome runProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment = {},
                   const std::optional<std::string>& input = std::nullopt);

bool contains(const std::string& text, const std::string& part);

} // namespace stowage::testing
