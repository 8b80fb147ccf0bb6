#include "support/RunStowage.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace stowage::testing {

namespace {

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

} // namespace

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

Outcome runProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment, const std::optional<std::string>& input,
                   const std::string& cwd) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
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

    // Input and output go through files, so a large output cannot block the child on a full pipe.
    char inName[] = "/tmp/stowage-cli-in-XXXXXX";
    char outName[] = "/tmp/stowage-cli-out-XXXXXX";
    char errName[] = "/tmp/stowage-cli-err-XXXXXX";
    const int inFd = ::mkstemp(inName);
    const int outFd = ::mkstemp(outName);
    const int errFd = ::mkstemp(errName);
    if (input) {
        (void)!::write(inFd, input->data(), input->size());
        ::lseek(inFd, 0, SEEK_SET);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input)
        posix_spawn_file_actions_adddup2(&actions, inFd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    Outcome run;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::lseek(outFd, 0, SEEK_SET);
    ::lseek(errFd, 0, SEEK_SET);
    run.out = drain(outFd);
    run.err = drain(errFd);
    for (int fd : {inFd, outFd, errFd})
        ::close(fd);
    for (const char* name : {inName, outName, errName})
        ::unlink(name);
    return run;
}

} // namespace stowage::testing
