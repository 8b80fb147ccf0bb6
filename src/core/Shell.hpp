#pragma once
// Runs one external tool to completion without a shell, with a time limit. Never throws.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

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

    /// Changes to the environment a tool inherits from this process. `set` wins over `unset` for the
    /// same name. Whatever is asked, secretVariables() never reach a tool.
    struct Environment {
        std::map<std::string, std::string> set;
        std::set<std::string> unset;
    };

    /// Variables of ours that hold secrets; they are removed from every tool's environment.
    static const std::set<std::string>& secretVariables();

    /// Runs "/usr/bin/env tool arguments..." with stdin from /dev/null, in a session of its own (so
    /// it has no controlling terminal and can never prompt the user), with this process's
    /// environment changed by `environment`. Blocks until the tool ends or `timeout` seconds pass;
    /// a timed-out tool and its process group are stopped and reaped.
    static Output run(const std::string& tool, const std::vector<std::string>& arguments,
                      const std::optional<std::string>& cwd = std::nullopt, double timeout = defaultTimeout,
                      const Environment& environment = {});

    /// Sends `signal` to the process group of every tool running now, and refuses to start any
    /// further tool (such a run returns status -1). Each run still reaps its own tool. For a
    /// process that is shutting down on a signal; returns how many groups were signalled.
    static std::size_t stopAll(int signal);

    /// How many tools are running now.
    static std::size_t running();

    /// Whether `which tool` succeeds.
    static bool exists(const std::string& tool);
};

} // namespace stowage
