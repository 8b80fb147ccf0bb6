#include "gui/QtExecutor.hpp"

#include <QMetaObject>
#include <QThread>
#include <QtGlobal>

#include <exception>

namespace stowage::gui {

namespace {

int poolPriority(TaskPriority priority) {
    switch (priority) {
    case TaskPriority::userInitiated:
        return 2;
    case TaskPriority::normal:
        return 1;
    case TaskPriority::utility:
        return 0;
    }
    return 0;
}

} // namespace

QtExecutor::QtExecutor(QObject* mainContext, int maxThreads) : mainContext_(mainContext) {
    // Scans, backups, restores and clones may all run at once; each blocks on disk or a child
    // process, so a few more threads than cores keeps a long backup from starving a scan.
    pool_.setMaxThreadCount(maxThreads > 0 ? maxThreads : std::max(4, QThread::idealThreadCount()));
    pool_.setExpiryTimeout(30000);
}

QtExecutor::~QtExecutor() {
    pool_.waitForDone();
}

void QtExecutor::runInBackground(TaskPriority priority, Job job) {
    pool_.start(
        [job = std::move(job)] {
            try {
                job();
            } catch (const std::exception& e) {
                // The model catches its engines' errors; anything arriving here is a defect, and
                // taking the whole application down for it would lose the user's unsaved choices.
                qWarning("background job failed: %s", e.what());
            } catch (...) {
                qWarning("background job failed");
            }
        },
        poolPriority(priority));
}

void QtExecutor::runOnMain(Job job) {
    QObject* context = mainContext_.data();
    if (!context)
        return;
    QMetaObject::invokeMethod(
        context, [job = std::move(job)] { job(); }, Qt::QueuedConnection);
}

} // namespace stowage::gui
