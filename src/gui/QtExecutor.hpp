#pragma once
// The model's executor in the desktop application: background jobs run on a thread pool owned by
// the executor, main-side jobs are queued to the GUI thread's event loop. Destroying the executor
// waits for running jobs (a backup is never cut off half-way); their main-side results are dropped.

#include "model/Executor.hpp"

#include <QObject>
#include <QPointer>
#include <QThreadPool>

namespace stowage::gui {

class QtExecutor final : public Executor {
public:
    /// `mainContext` lives on the GUI thread; main-side jobs run in its thread and are dropped once
    /// it is gone.
    explicit QtExecutor(QObject* mainContext, int maxThreads = 0);
    ~QtExecutor() override;

    void runInBackground(TaskPriority priority, Job job) override;
    void runOnMain(Job job) override;

    QThreadPool& pool() { return pool_; }

private:
    QPointer<QObject> mainContext_;
    QThreadPool pool_;
};

} // namespace stowage::gui
