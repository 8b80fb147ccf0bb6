#include "support/FakeTools.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace stowage::testing {

namespace {

/// `text` as one single-quoted shell word.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name))
        old_ = old;
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_, old_->c_str(), 1);
    else
        unsetenv(name_);
}

FakeTools::FakeTools(const TempHome& home, const std::string& folder) : bin_(home.makeDir(folder)) {
    if (const char* path = std::getenv("PATH"))
        savedPath_ = path;
    setenv("PATH", bin_.c_str(), 1);
    script("which",
           "IFS=:\nfor d in $PATH; do\n  if [ -x \"$d/$1\" ]; then echo \"$d/$1\"; exit 0; fi\ndone\nexit 1\n");
}

FakeTools::~FakeTools() {
    if (savedPath_)
        setenv("PATH", savedPath_->c_str(), 1);
    else
        unsetenv("PATH");
}

void FakeTools::script(const std::string& name, const std::string& body) const {
    std::ofstream(bin_ + "/" + name, std::ios::binary | std::ios::trunc)
        << "#!/bin/sh\n"
        << "printf '%s\\n' " << quoted(name) << "\" $*\" >> " << quoted(bin_ + "/calls.log") << "\n"
        << body;
    std::filesystem::permissions(bin_ + "/" + name, std::filesystem::perms(0755));
}

void FakeTools::answer(const std::string& name, const std::string& arguments, const std::string& output, int status) {
    auto& list = cases_[name];
    const std::string file = bin_ + "/" + name + "." + std::to_string(list.size()) + ".out";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << output;
    list.emplace_back(arguments, "/bin/cat " + quoted(file) + "; exit " + std::to_string(status));
    std::string body = "case \"$*\" in\n";
    for (const auto& [args, action] : list)
        body += quoted(args) + ") " + action + ";;\n";
    body += "esac\nexit 9\n";
    script(name, body);
}

std::string FakeTools::calls() const {
    return slurp(bin_ + "/calls.log");
}

} // namespace stowage::testing
