// stowage-screenshots OUTPUT_DIR [light|dark]: drives the application over a fixture home through
// every pane (audit with findings, backup with a result and a recovery code, restore with a
// preview, apps, settings, onboarding) and saves a PNG of the window at each stop.
// scripts/screenshots runs it under Xvfb for both palettes.

#include "GuiFixture.hpp"

#include "gui/AppsView.hpp"
#include "gui/AuditView.hpp"
#include "gui/BackupView.hpp"
#include "gui/OnboardingView.hpp"
#include "gui/RestoreView.hpp"
#include "gui/RootView.hpp"
#include "gui/Widgets.hpp"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPalette>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleFactory>
#include <QThread>

#include <fstream>
#include <functional>
#include <iostream>

using namespace stowage;
using namespace stowage::gui;

namespace {

void pump(int millis = 60) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < millis) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

bool waitUntil(const std::function<bool()>& done, int millis = 180000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > millis)
            return false;
        pump(30);
    }
    pump(150);
    return true;
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x24, 0x26, 0x2b), base(0x1b, 0x1c, 0x20), text(0xe8, 0xe8, 0xea), button(0x33, 0x35, 0x3b);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x7e, 0xe0));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x6c, 0xb0, 0xff));
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9c, 0xa3));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4c, 0x53));
    p.setColor(QPalette::Midlight, QColor(0x3a, 0x3c, 0x42));
    p.setColor(QPalette::Mid, QColor(0x50, 0x52, 0x5a));
    p.setColor(QPalette::Dark, QColor(0x15, 0x16, 0x19));
    p.setColor(QPalette::Shadow, Qt::black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x7a, 0x7c, 0x82));
    p.setColor(QPalette::Disabled, QPalette::Button, QColor(0x2c, 0x2e, 0x33));
    return p;
}

void scrollTo(QWidget* pane, double fraction) {
    if (auto* area = pane->findChild<QScrollArea*>()) {
        auto* bar = area->verticalScrollBar();
        bar->setValue(static_cast<int>(bar->maximum() * fraction));
    }
    pump(100);
}

void scrollToWidget(QWidget* pane, QWidget* target) {
    if (auto* area = pane->findChild<QScrollArea*>())
        area->ensureWidgetVisible(target, 10, 10);
    pump(100);
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
    QApplication::setPalette(theme == QStringLiteral("dark") ? darkPalette()
                                                             : QApplication::style()->standardPalette());
    applyStyle(app);

    int failures = 0;
    auto shot = [&](QWidget* w, const QString& name) {
        pump(200);
        const QString path = out + QStringLiteral("/") + theme + QStringLiteral("-") + name + QStringLiteral(".png");
        if (!w->grab().save(path)) {
            std::cerr << "could not save " << path.toStdString() << "\n";
            ++failures;
        } else {
            std::cout << path.toStdString() << "\n";
        }
    };
    auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            std::cerr << "screenshots: " << what << "\n";
            ++failures;
        }
        return ok;
    };

    testing::GuiWorld world(/*onboarded=*/false);
    AppModel& model = *world.model;
    StowageApp& window = *world.window;
    RootView* root = window.root();
    model.setBackupDir(world.home / "StowageBackup");
    model.setIncludeRestorer(false);
    window.show();
    pump(300);

    // Onboarding, first and last page.
    shot(&window, QStringLiteral("onboarding"));
    root->onboarding()->nextButton()->click();
    root->onboarding()->nextButton()->click();
    shot(&window, QStringLiteral("onboarding-last"));
    root->onboarding()->nextButton()->click();
    pump();

    // Audit with findings, one expanded.
    expect(waitUntil([&] { return model.inventory() && !model.scanning() && !model.gitRisks().empty(); }),
           "no inventory or repository risks");
    pump(300);
    if (auto rows = root->auditPane()->findChildren<FindingRow*>(); !rows.isEmpty())
        rows.first()->findChild<Disclosure*>()->click();
    shot(&window, QStringLiteral("audit"));
    scrollTo(root->auditPane(), 1.0);
    shot(&window, QStringLiteral("audit-bottom"));

    // Backup: first the encryption section with a passphrase being typed, then a random-key backup.
    model.setTab(AppModel::Tab::backup);
    pump(300);
    waitUntil([&] { return !model.scanningProjects(); });
    model.setPassphrase("orbit-Lantern-42");
    model.setPassphraseConfirm("orbit-Lant");
    pump();
    scrollTo(root->backupPane(), 1.0);
    shot(&window, QStringLiteral("backup-encryption"));
    model.setPassphrase("");
    model.setPassphraseConfirm("");
    model.setUsePassphrase(false);
    pump();
    root->backupPane()->backUpButton()->click();
    pump(150);
    shot(&window, QStringLiteral("backup-running"));
    expect(waitUntil([&] { return !model.backingUp(); }), "the backup did not finish");
    expect(model.backupResult().has_value(), model.backupError().value_or("no backup result").c_str());
    scrollTo(root->backupPane(), 0.0);
    shot(&window, QStringLiteral("backup"));

    // Restore: the machine drifted; load, review the project secrets, preview.
    std::ofstream(world.home / ".zshrc")
        << "export PATH=$HOME/bin:$PATH\nalias gs='git status -sb'\nalias ll='ls -la'\n"
           "export EDITOR=nvim\n";
    model.setTab(AppModel::Tab::restore);
    model.setRestoreDir(world.home / "StowageBackup");
    model.loadManifest();
    expect(waitUntil([&] { return model.loadedManifest().has_value() && !model.loadingManifest(); }),
           "the backup did not load");
    model.planSecretRestore();
    waitUntil([&] { return !model.planning(); });
    shot(&window, QStringLiteral("restore"));
    root->restorePane()->restoreButton()->click();
    expect(waitUntil([&] { return !model.restoring(); }), "the preview did not finish");
    expect(!model.restoreError().has_value(), model.restoreError().value_or("").c_str());
    pump(200);
    if (auto* preview = root->restorePane()->findChild<QWidget*>(QStringLiteral("changesPreview"))) {
        for (auto* row : preview->findChildren<DiffRow*>()) {
            auto* d = row->findChild<Disclosure*>();
            if (d && d->isEnabled()) {
                d->click();
                break;
            }
        }
        pump(200);
        scrollToWidget(root->restorePane(), preview);
        scrollTo(root->restorePane(), 1.0);
    } else {
        expect(false, "no changes preview");
    }
    shot(&window, QStringLiteral("restore-preview"));
    scrollTo(root->restorePane(), 0.55);
    shot(&window, QStringLiteral("restore-middle"));

    // Apps: this machine, then the backup's list with one app ticked.
    model.setTab(AppModel::Tab::apps);
    expect(waitUntil([&] { return !model.scanningApps() && !model.apps().empty(); }), "no apps");
    shot(&window, QStringLiteral("apps"));
    model.setShowBackupApps(true);
    waitUntil([&] { return !model.backupApps().empty(); }, 20000);
    if (!model.backupApps().empty())
        model.toggleReinstalled(model.backupApps().front());
    pump();
    shot(&window, QStringLiteral("apps-backup"));

    // Settings.
    model.setExcludeGlobsText("*.log\n**/cache/**");
    model.setTab(AppModel::Tab::settings);
    shot(&window, QStringLiteral("settings"));

    // Welcome back and the reminder, as a restorer launch and an old backup would show them.
    model.setLastBackupAt(model.now() - std::chrono::hours(24 * 20));
    model.setTab(AppModel::Tab::audit);
    scrollTo(root->auditPane(), 0.0);
    shot(&window, QStringLiteral("reminder"));
    return failures == 0 ? 0 : 1;
}
