// stowage-app: the desktop application.

#include "gui/QtExecutor.hpp"
#include "gui/StowageApp.hpp"
#include "model/AppModel.hpp"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Stowage"));
    QApplication::setApplicationVersion(QString::fromLatin1(stowage::gui::ProductInfo::version));
    QApplication::setOrganizationDomain(QStringLiteral("larchworks.io"));
    QApplication::setDesktopFileName(QStringLiteral("io.larchworks.Stowage"));
    stowage::gui::applyStyle(app);

    auto executor = std::make_shared<stowage::gui::QtExecutor>(&app);
    stowage::AppEnvironment environment;
    environment.executor = executor;
    int status = 0;
    {
        stowage::AppModel model(environment);
        stowage::gui::StowageApp window(model, stowage::gui::makePlatformUpdater());
        window.show();
        status = QApplication::exec();
    }
    // Work still running (a backup the user chose to let finish) completes before the process ends.
    executor->pool().waitForDone();
    return status;
}
