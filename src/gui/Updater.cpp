#include "gui/Updater.hpp"

#include <QCoreApplication>

namespace stowage::gui {

QString SystemPackageUpdater::unavailableReason() const {
    return QCoreApplication::translate("Updater", "Stowage is updated by your system's package manager.");
}

std::unique_ptr<Updater> makePlatformUpdater() {
    return std::make_unique<SystemPackageUpdater>();
}

} // namespace stowage::gui
