#pragma once
// Runs one external tool to completion without a shell, with a time limit. Never throws.

#include <string>
#include <vector>
#include <optional>

namespace stowage {

class Shell {
public:
    static constexpr double defaultTimeout = 120.0;
    static constexpr int timedOutStatus = -2;

    struct Output {
        /// Exit status; -1 when the tool could not be started; timedOutStatus at the time limit.
        int status = 0;
        std::string out;
        std::string err;

        bool ok() const { return status == 0; }
        std::string trimmedOut() const;
    };

    /// Runs "/usr/bin/env tool arguments..." with stdin from /dev/null. Blocks until the tool
    /// ends or `timeout` seconds pass; a timed-out tool and its process group are stopped and reaped.
    static Output run(const std::string& tool, const std::vector<std::string>& arguments,
                      const std::optional<std::string>& cwd = std::nullopt, double timeout = defaultTimeout);

    /// Whether `which tool` succeeds.
    static bool exists(const std::string& tool);
};

} // namespace stowage
