#include "support/RunStowage.hpp"

namespace stowage::testing {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

Outcome runProgram(const std::string& binary, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment, const std::optional<std::string>& input,
                   const std::string& cwd) {
    ChildRun run = runChild(binary, arguments, environment, std::nullopt, input, cwd);
    return Outcome{run.killed ? -1 : run.status, std::move(run.out), std::move(run.err)};
}

} // namespace stowage::testing
