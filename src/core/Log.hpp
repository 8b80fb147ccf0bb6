#pragma once
// Diagnostic log channels of the system. Only counts are ever logged: never a path, secret or content.

#include <functional>
#include <memory>
#include <string>

namespace stowage {

class Log {
public:
    static constexpr const char* subsystem = "io.larchworks.stowage";

    /// One category's logger; safe to use from any thread.
    class Logger {
    public:
        explicit Logger(std::string category) : category_(std::move(category)) {}
        const std::string& category() const { return category_; }
        void info(const std::string& message) const;

    private:
        std::string category_;
    };

    static const Logger& scan();
    static const Logger& backup();
    static const Logger& restore();

    /// The two messages the system emits.
    static std::string scanComplete(long findings);
    static std::string backupComplete(long configFiles, long secrets);

    /// Receives (category, message). Tests install a capturing sink; nullptr restores the system sink.
    using Sink = std::function<void(const std::string& category, const std::string& message)>;
    static void setSink(Sink sink);
};

} // namespace stowage
