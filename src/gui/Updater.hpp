#pragma once
// The seam to an update framework. "Check for Updates…" is enabled only while the updater says it
// can check. On Linux the system's package manager updates the application, so the updater there
// never can, and says why.

#include <QString>

#include <memory>

namespace stowage::gui {

class Updater {
public:
    virtual ~Updater() = default;
    virtual bool canCheckForUpdates() const = 0;
    virtual void checkForUpdates() = 0;
    /// Why checking is not possible; shown as the menu command's tool tip.
    virtual QString unavailableReason() const = 0;
};

/// Updates come through the distribution's packages: never checks by itself.
class SystemPackageUpdater final : public Updater {
public:
    bool canCheckForUpdates() const override { return false; }
    void checkForUpdates() override {}
    QString unavailableReason() const override;
};

/// The updater of this platform.
std::unique_ptr<Updater> makePlatformUpdater();

} // namespace stowage::gui
