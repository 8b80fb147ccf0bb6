// stowage-screenshots OUTPUT_DIR [light|dark]: drives the application over a fixture home through
// every pane (audit with findings, backup with a result and a recovery code, restore with a
// preview, apps, settings, onboarding) and saves a PNG of the window at each stop; a failed stop
// is reported on stderr and fails the run.
// scripts/screenshots runs it under Xvfb for both palettes.

#include "GuiFixture.hpp"

#include "gui/AuditView.hpp"
#include "gui/OnboardingView.hpp"
#include "gui/RestoreView.hpp"
#include "gui/RootView.hpp"
#include "gui/Widgets.hpp"

#include <QtWidgets>

#include <fstream>
#include <iostream>

using namespace stowage;
using namespace stowage::gui;

namespace {

void pump(int millis = 60) {
    QEventLoop loop;
    QTimer::singleShot(millis, &loop, &QEventLoop::quit);
    loop.exec();
}

int failures = 0;

/// Reports a failed step; the run goes on and ends with a failure status.
void expect(bool ok, const std::string& what) {
    if (!ok)
        std::cerr << "screenshots: " << what << "\n", ++failures;
}

/// Lets the event loop run until `done` holds (three minutes at most), then a little longer.
void need(const std::function<bool()>& done, const std::string& what) {
    for (int waited = 0; !done() && waited < 180000; waited += 30)
        pump(30);
    pump(150);
    expect(done(), what);
}

QPalette darkPalette() {
    // In QPalette::ColorRole order, from WindowText to PlaceholderText; 0 keeps the default.
    const QRgb colors[] = {0xe8e8ea, 0x33353b, 0x4a4c53, 0x3a3c42, 0x151619,   0x50525a, 0xe8e8ea,
                           0xffffff, 0xe8e8ea, 0x1b1c20, 0x24262b, 0xff000000, 0x3d7ee0, 0xffffff,
                           0x6cb0ff, 0,        0x24262b, 0,        0x33353b,   0xe8e8ea, 0x9a9ca3};
    QPalette p;
    for (int role = 0; role <= QPalette::PlaceholderText; ++role)
        if (colors[role])
            p.setColor(static_cast<QPalette::ColorRole>(role), QColor(colors[role]));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x7a7c82));
    p.setColor(QPalette::Disabled, QPalette::Button, QColor(0x2c2e33));
    return p;
}

/// Opens the first enabled disclosure under `parent`, if any.
void expandFirst(QWidget* parent) {
    for (auto* d : parent ? parent->findChildren<Disclosure*>() : QList<Disclosure*>())
        if (d->isEnabled())
            return d->click();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: stowage-screenshots OUTPUT_DIR [light|dark]\n";
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString theme = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("light");
    QDir().mkpath(out);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(theme == "dark" ? darkPalette() : QApplication::style()->standardPalette());
    applyStyle(app);

    testing::GuiWorld world(/*onboarded=*/false);
    AppModel& model = *world.model;
    RootView* root = world.window->root();
    world.window->show();
    pump(300);

    auto shot = [&](const char* name) {
        pump(200);
        const QString path = out + "/" + theme + "-" + name + ".png";
        expect(world.window->grab().save(path), "could not save " + path.toStdString());
    };

    shot("onboarding");
    for (int page = 0; page < 3; ++page)
        root->onboarding()->nextButton()->click();
    need([&] { return model.inventory() && !model.scanning() && !model.gitRisks().empty(); }, "no repository risks");
    expandFirst(root->auditPane()->findChild<FindingRow*>());
    shot("audit");

    // Backup: a random-key backup, its result and recovery code at the top.
    model.setTab(AppModel::Tab::backup);
    model.setUsePassphrase(false);
    model.runBackup();
    need([&] { return !model.backingUp() && model.backupResult(); }, "the backup did not finish");
    shot("backup");

    // Restore: the machine drifted; load, plan the project secrets, preview with one diff open.
    std::ofstream(world.home / ".zshrc") << "export PATH=$HOME/bin:$PATH\nalias gs='git status -sb'\n"
                                            "alias ll='ls -la'\nexport EDITOR=nvim\n";
    model.setTab(AppModel::Tab::restore);
    model.loadManifest();
    need([&] { return model.loadedManifest() && !model.loadingManifest(); }, "no backup loaded");
    model.planSecretRestore();
    need([&] { return !model.planning(); }, "no plan");
    model.runRestore();
    need([&] { return !model.restoring() && model.restoreReport(); }, "the preview did not finish");
    expandFirst(root->restorePane()->findChild<QWidget*>(QStringLiteral("changesPreview")));
    if (auto* area = root->restorePane()->findChild<QScrollArea*>())
        area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
    shot("restore");

    model.setTab(AppModel::Tab::apps);
    need([&] { return !model.scanningApps() && !model.apps().empty(); }, "no apps");
    shot("apps");
    model.setExcludeGlobsText("*.log\n**/cache/**");
    model.setTab(AppModel::Tab::settings);
    shot("settings");
    return failures == 0 ? 0 : 1;
}
