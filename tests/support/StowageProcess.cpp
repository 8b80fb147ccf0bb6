#include "support/StowageProcess.hpp"

#include "support/TempHome.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace stowage::testing {

namespace {

/// A file for one of the child's output streams, removed when done.
struct OutputFile {
    OutputFile() {
        std::string pattern = (std::filesystem::temp_directory_path() / "stowage-child-XXXXXX").string();
        fd = ::mkstemp(pattern.data());
        if (fd < 0)
            throw std::runtime_error("mkstemp failed");
        path = pattern;
    }
    ~OutputFile() {
        ::close(fd);
        ::unlink(path.c_str());
    }
    int fd = -1;
    std::string path;
};

} // namespace

ChildRun runChild(const std::string& binary, const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment,
                  std::optional<std::chrono::microseconds> killAfter, const std::optional<std::string>& input,
                  const std::string& cwd) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (auto eq = entry.find('='); eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/stowage-test-bus";
    env["NO_COLOR"] = "1";
    env.erase("STOWAGE_PASSPHRASE");
    env.erase("STOWAGE_RECOVERY_CODE");
    for (const auto& [key, value] : environment) {
        if (value.empty())
            env.erase(key);
        else
            env[key] = value == setButEmpty ? std::string() : value;
    }
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env)
        envStrings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{binary};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    OutputFile in, out, err;
    if (input) {
        if (::write(in.fd, input->data(), input->size()) != static_cast<ssize_t>(input->size()))
            throw std::runtime_error("could not write the child's input");
        ::lseek(in.fd, 0, SEEK_SET);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input)
        posix_spawn_file_actions_adddup2(&actions, in.fd, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_adddup2(&actions, out.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fd, STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("could not start " + binary);

    auto finished = [&](int status) {
        ChildRun run;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.killed = WIFSIGNALED(status);
        run.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
        run.out = slurp(out.path);
        run.err = slurp(err.path);
        return run;
    };
    int status = 0;
    if (killAfter) {
        // Polled in short steps, so a child that ends early is not waited for in full.
        const auto deadline = started + *killAfter;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return finished(status);
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                deadline - std::chrono::steady_clock::now(), std::chrono::microseconds(200)));
        }
        ::kill(pid, SIGKILL);
    }
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return finished(status);
}

} // namespace stowage::testing
