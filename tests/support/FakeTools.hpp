#pragma once
// Fake command-line tools for tests: a folder of /bin/sh scripts that becomes the whole search path
// for the object's lifetime, with a `which` that looks only along it, so the machine's own package
// tools never answer. Every fake logs its call, one "name arguments" line each.

#include "support/TempHome.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace stowage::testing {

/// Sets an environment variable (or unsets it, with no value) for one scope and puts the old
/// value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

class FakeTools {
public:
    /// The tools live in home/`folder`; PATH is that folder alone until destruction.
    explicit FakeTools(const TempHome& home, const std::string& folder = "fakebin");
    ~FakeTools();
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    /// A tool whose body runs under /bin/sh after the call is logged. Only shell built-ins are on
    /// the search path; use /bin/cat and the like by their full path.
    void script(const std::string& name, const std::string& body) const;
    /// Makes `name` print `output` (byte for byte) and exit with `status` when called with
    /// exactly `arguments` ("$*", the arguments joined by single spaces). Every call adds a case;
    /// any other call exits with status 9.
    void answer(const std::string& name, const std::string& arguments, const std::string& output, int status = 0);

    std::string calls() const;
    const std::string& bin() const { return bin_; }

private:
    std::string bin_;
    std::optional<std::string> savedPath_;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> cases_;
};

} // namespace stowage::testing
