#pragma once
// For the scanning tests: the real file system, recording how each root was bracketed for access
// and which folders were listed, so a test can see what a scan entered. Safe to share between threads.

#include "core/FileAccess.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace stowage::testing {

class RecordingAccess : public DirectFileAccess {
public:
    /// `granted` is what beginAccess answers; a scan must go on either way.
    explicit RecordingAccess(bool granted = true) : granted_(granted) {}

    bool beginAccess(const std::string& path) override { return note("begin", path), granted_; }
    void endAccess(const std::string& path) override { note("end", path); }
    std::vector<std::string> children(const std::string& path) const override {
        note("list", path);
        return DirectFileAccess::children(path);
    }

    /// The paths of the calls of one kind ("begin", "end" or "list"), in order.
    std::vector<std::string> paths(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [k, path] : calls_)
            if (k == kind)
                out.push_back(path);
        return out;
    }

private:
    void note(const char* kind, const std::string& path) const {
        std::lock_guard lock(mutex_);
        calls_.emplace_back(kind, path);
    }

    bool granted_;
    mutable std::mutex mutex_;
    mutable std::vector<std::pair<std::string, std::string>> calls_;
};

} // namespace stowage::testing
