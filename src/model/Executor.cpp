#include "model/Executor.hpp"

namespace stowage {

void ManualExecutor::runInBackground(TaskPriority priority, Job job) {
    std::lock_guard guard(lock_);
    background_.emplace_back(priority, std::move(job));
}

void ManualExecutor::runOnMain(Job job) {
    std::lock_guard guard(lock_);
    main_.push_back(std::move(job));
}

std::size_t ManualExecutor::pendingBackground() const {
    std::lock_guard guard(lock_);
    return background_.size();
}

std::size_t ManualExecutor::pendingMain() const {
    std::lock_guard guard(lock_);
    return main_.size();
}

std::vector<TaskPriority> ManualExecutor::backgroundPriorities() const {
    std::lock_guard guard(lock_);
    std::vector<TaskPriority> result;
    for (const auto& entry : background_)
        result.push_back(entry.first);
    return result;
}

bool ManualExecutor::runBackground(std::size_t index) {
    Job job;
    {
        std::lock_guard guard(lock_);
        if (index >= background_.size())
            return false;
        auto at = background_.begin() + static_cast<std::ptrdiff_t>(index);
        job = std::move(at->second);
        background_.erase(at);
    }
    // Run outside the lock: the job posts to the main side.
    job();
    return true;
}

bool ManualExecutor::runMain() {
    Job job;
    {
        std::lock_guard guard(lock_);
        if (main_.empty())
            return false;
        job = std::move(main_.front());
        main_.pop_front();
    }
    job();
    return true;
}

void ManualExecutor::drain() {
    while (runBackground() || runMain()) {
    }
}

} // namespace stowage
