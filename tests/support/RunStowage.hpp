#pragma once
// Runs the built `stowage` program as the user runs it and answers its exit status and output; the
// child's surroundings are those of runChild (StowageProcess.hpp).

#include "support/StowageProcess.hpp"

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

/// runChild without a kill: `environment` as there, standard input `input` (else /dev/null), in `cwd`.
Outcome runProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment = {},
                   const std::optional<std::string>& input = std::nullopt, const std::string& cwd = {});

bool contains(const std::string& text, const std::string& part);

} // namespace stowage::testing
