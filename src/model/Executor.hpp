#pragma once
// Where the application model's work runs. The model never creates threads: long operations go to
// the background side, and everything that touches the model's state comes back through the main
// side. The desktop application passes an executor backed by its thread pool and its event loop;
// tests pass one that runs jobs at once (InlineExecutor) or holds them until released
// (ManualExecutor), so every flow runs without an event loop.

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace stowage {

/// How urgently a background job should run, highest first.
enum class TaskPriority {
    /// The user is waiting for the answer (machine scan, backup, restore, planning, clone).
    userInitiated,
    /// Ordinary work (loading a backup folder's manifest).
    normal,
    /// Work the user is not waiting on (repository risks, projects, a backup's app list).
    utility,
};

class Executor {
public:
    using Job = std::function<void()>;

    virtual ~Executor() = default;

    /// Runs `job` off the main thread, eventually, exactly once. Any thread may call this.
    virtual void runInBackground(TaskPriority priority, Job job) = 0;
    /// Runs `job` on the main thread, eventually, exactly once; jobs posted from one thread run in
    /// the order they were posted. Any thread may call this.
    virtual void runOnMain(Job job) = 0;
};

/// Runs every job at once on the calling thread, so an operation's result is published before the
/// call that started it returns.
class InlineExecutor final : public Executor {
public:
    void runInBackground(TaskPriority, Job job) override { job(); }
    void runOnMain(Job job) override { job(); }
};

/// Holds every job until the test releases it, so a test decides which background job finishes
/// first and sees exactly what is published on the main side and when. Not thread-hopping: released
/// jobs run on the thread that releases them.
class ManualExecutor final : public Executor {
public:
    void runInBackground(TaskPriority priority, Job job) override;
    void runOnMain(Job job) override;

    std::size_t pendingBackground() const;
    std::size_t pendingMain() const;
    /// Priorities of the held background jobs, oldest first.
    std::vector<TaskPriority> backgroundPriorities() const;

    /// Runs the held background job at `index` (0 is the oldest); false when there is none.
    bool runBackground(std::size_t index = 0);
    /// Runs the oldest held main-side job; false when there is none.
    bool runMain();
    /// Runs held jobs (background first, then main side, oldest first) until none is left,
    /// including the jobs they post.
    void drain();

private:
    mutable std::mutex lock_;
    std::deque<std::pair<TaskPriority, Job>> background_;
    std::deque<Job> main_;
};

} // namespace stowage
