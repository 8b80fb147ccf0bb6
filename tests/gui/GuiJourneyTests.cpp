// Journeys through the desktop application's real widgets over a real model, engine and temporary
// home (offscreen platform). Each test is one thing a user does, start to finish.

#include "GuiFixture.hpp"

#include "core/BackupManifest.hpp"

#include "gui/AppsView.hpp"
#include "gui/AuditView.hpp"
#include "gui/BackupView.hpp"
#include "gui/OnboardingView.hpp"
#include "gui/RestoreView.hpp"
#include "gui/RootView.hpp"
#include "gui/SettingsView.hpp"

#include <QtTest>
#include <QtWidgets>

#include <fstream>

using namespace stowage;
using namespace stowage::gui;
using stowage::testing::GuiWorld;

constexpr int slow = 120000; // scans and backups run real git and real file copies on a shared machine

class GuiJourneyTests : public QObject {
    Q_OBJECT
    template <typename T = QWidget> static T* child(QWidget* root, const QString& name) {
        return root->findChild<T*>(name);
    }
    /// The visible button of this type with exactly this text under `root`.
    template <typename T = QPushButton> static T* button(QWidget* root, const QString& text) {
        for (auto* b : root->findChildren<T*>())
            if (b->text() == text && b->isVisibleTo(root))
                return b;
        return nullptr;
    }
    /// Texts of every visible label under `root`.
    static QStringList visibleTexts(QWidget* root) {
        QStringList out;
        for (auto* l : root->findChildren<QLabel*>())
            if (l->isVisibleTo(root) && !l->text().isEmpty())
                out << l->text();
        return out;
    }
    static bool showsText(QWidget* root, const QString& text) { return visibleTexts(root).contains(text); }
    static void settle() { QTest::qWait(20); }
    static void key(GuiWorld& w, Qt::Key k) { QTest::keyClick(w.window.get(), k, Qt::ControlModifier), settle(); }
    static void waitForInventory(GuiWorld& w) {
        QTRY_VERIFY_WITH_TIMEOUT(w.model->inventory().has_value() && !w.model->scanning(), slow);
        settle();
    }

private slots:
    void firstLaunchOnboardsThenAuditFiltersShortcutsAndRescan();
    void restorerLaunchWelcomesBackOnTheRestorePane();
    void backupWithRecoveryCodeThenRestorePreviewAndReinstallCommands();
};

void GuiJourneyTests::firstLaunchOnboardsThenAuditFiltersShortcutsAndRescan() {
    GuiWorld w(/*onboarded=*/false);
    w.window->show();
    RootView* root = w.window->root();
    OnboardingView* on = root->onboarding();
    QVERIFY(root->onboardingShown());
    // The first show started the first scan; until it publishes, the audit pane shows only progress.
    QVERIFY(w.model->scanning() && showsText(root->auditPane(), "Scanning your machine…"));
    QVERIFY(!root->auditPane()->searchField()->isVisibleTo(root->auditPane()));
    on->nextButton()->click();
    QCOMPARE(on->title(), QString("Back it up, encrypted"));
    QTest::keyClick(on->nextButton(), Qt::Key_Return); // the default action answers Enter
    QCOMPARE(on->nextButton()->text(), QString("Get Started"));
    QVERIFY(!w.model->hasOnboarded());
    on->nextButton()->click();
    settle();
    QVERIFY(!root->onboardingShown());
    QVERIFY(w.defaults->boolean("hasOnboarded") == std::optional<bool>(true));

    waitForInventory(w);
    AuditPane* audit = root->auditPane();
    QTRY_VERIFY_WITH_TIMEOUT(child(audit, "gitRisks"), slow); // the repository task publishes on its own
    QVERIFY(child(audit, "summaryCard") && child(audit, "tier-secret") && !button(audit, "Clear filters"));
    // A search that matches nothing shows the no-matches state, whose button clears the filters.
    QTest::keyClicks(audit->searchField(), "ZZZ-no-such-thing");
    settle();
    QVERIFY(showsText(audit, "Nothing matches these filters.") && !showsText(audit, "Nothing at risk found"));
    button(child(audit, "noMatches"), "Clear filters")->click();
    settle();
    QVERIFY(audit->searchField()->text().isEmpty() && !child(audit, "noMatches"));
    // "Critical" narrows to critical risks; choosing it again clears it.
    button(audit, "Critical")->click();
    settle();
    QVERIFY(button(audit, "Clear filters"));
    for (auto* badge : audit->findChildren<RiskBadge*>())
        QCOMPARE(badge->text(), QString("Critical"));
    button(audit, "Critical")->click();
    settle();
    QVERIFY(!w.model->auditMinRisk());

    // Each pane has its shortcut, and the tab bar follows.
    QWidget* panes[] = {audit, root->backupPane(), root->restorePane(), root->appsPane(), root->settingsPane()};
    for (int tab : {1, 2, 3, 0, 4}) {
        key(w, Qt::Key(Qt::Key_1 + tab));
        QCOMPARE(root->currentPane(), panes[tab]);
        QCOMPARE(root->tabBar()->currentIndex(), static_cast<int>(w.model->tab()));
    }
    // Replay brings back the first page and leaves every other setting alone.
    w.model->setScanRootsText("~/src\n~/work");
    root->settingsPane()->replayButton()->click();
    settle();
    QVERIFY(root->onboardingShown() && on->page() == 0);
    QVERIFY(w.defaults->boolean("hasOnboarded") == std::optional<bool>(false));
    QCOMPARE(root->settingsPane()->scanRootsEdit()->toPlainText(), QString("~/src\n~/work"));
    on->nextButton()->click(), on->nextButton()->click(), on->nextButton()->click();

    // Ctrl+R goes back to the audit and rescans; the command is disabled while the scan runs.
    QTest::keyClick(w.window.get(), Qt::Key_R, Qt::ControlModifier);
    QVERIFY(w.model->tab() == AppModel::Tab::audit && w.model->scanning());
    QCOMPARE(root->statusLine()->text(), QString("Scanning…"));
    QVERIFY(!w.window->action("Rescan")->isEnabled());
    waitForInventory(w);
    QVERIFY(w.window->action("Rescan")->isEnabled());
}

void GuiJourneyTests::restorerLaunchWelcomesBackOnTheRestorePane() {
    // Started from the copy a backup carries: the restore tab opens on that folder, no onboarding.
    GuiWorld w(/*onboarded=*/false, /*developerHome=*/false, "Backup/Stowage/stowage-app",
               [](const stowage::testing::TempHome& home) {
                   home.writeFile("Backup/backup.json", BackupManifest().encode());
               });
    w.window->show();
    settle();
    RootView* root = w.window->root();
    QVERIFY(!root->onboardingShown() && showsText(root, "Welcome back"));
    QTRY_VERIFY_WITH_TIMEOUT(w.model->loadedManifest() && w.model->showBackupApps(), 10000);
    QCOMPARE(root->currentPane(), static_cast<QWidget*>(root->restorePane()));
    QCOMPARE(root->restorePane()->findChild<FolderField*>()->path(), QString::fromStdString(w.home / "Backup"));
}

void GuiJourneyTests::backupWithRecoveryCodeThenRestorePreviewAndReinstallCommands() {
    GuiWorld w;
    const std::string backupDir = w.home / "My Backups/it's here";
    w.model->setBackupDir(backupDir);
    w.window->show();
    waitForInventory(w);
    RootView* root = w.window->root();
    QVERIFY(showsText(root, "You haven't backed up yet."));
    key(w, Qt::Key_2);
    BackupPane* pane = root->backupPane();
    auto* reason = child<IconLine>(pane, "blockReason");
    CheckBox* secrets = nullptr;
    for (auto* b : pane->findChildren<CheckBox*>())
        secrets = b->accessibleName() == "Secrets, select all" ? b : secrets;
    auto* first = child(pane, "select-secret")->findChild<SelectableFindingRow*>()->box();
    auto click = [](QAbstractButton* b) { b->click(), settle(); };
    // Everything selectable starts selected; one finding cleared leaves its tier partly selected,
    // whose box then clears the tier and selects it whole on the next click.
    QCOMPARE(secrets->checkState(), Qt::Checked);
    click(first);
    QCOMPARE(secrets->checkState(), Qt::PartiallyChecked);
    QCOMPARE(secrets->accessibleDescription(), QString("partially selected"));
    click(secrets);
    QCOMPARE(w.model->selectedSecretCount(), 0);
    click(secrets);
    QCOMPARE(first->checkState(), Qt::Checked);

    // Block reasons: no passphrase, a confirmation that differs, nothing chosen at all.
    QCOMPARE(reason->text(), QString("Enter a passphrase to encrypt your secrets (or switch off encryption)."));
    QTest::keyClicks(pane->passphraseField(), "orbit-Lantern-42-quiet");
    QTest::keyClicks(pane->confirmField(), "orbit-Lantern-42-quiez");
    settle();
    QCOMPARE(reason->text(), QString("Passphrase and confirmation don't match."));
    click(button(pane, "None"));
    click(button<QCheckBox>(pane, "Manifests"));
    QCOMPARE(reason->text(), QString("Select at least one thing to back up."));
    QVERIFY(!pane->backUpButton()->isEnabled() && !w.window->action("Back Up Now")->isEnabled());

    // Everything again, sealed with a random key: the button says so while it runs, and the
    // recovery code is shown once and copied.
    click(button(pane, "All"));
    click(button<QCheckBox>(pane, "Protect secrets with a passphrase"));
    QVERIFY(!reason->isVisibleTo(pane));
    pane->backUpButton()->click();
    QCoreApplication::sendPostedEvents(); // the pane redraws once per event-loop turn
    QVERIFY(pane->backUpButton()->text() == "Backing up…" && !pane->backUpButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->backingUp(), slow);
    settle();
    QVERIFY2(w.model->backupResult(), w.model->backupError().value_or("").c_str());
    QVERIFY(showsText(child(pane, "backupResult"), "Backup complete") && w.model->backupResult()->recoveryCode);
    const QString code = QString::fromStdString(*w.model->backupResult()->recoveryCode);
    QCOMPARE(child<QLabel>(pane, "recoveryCode")->text(), code);
    click(child<QPushButton>(pane, "copyRecoveryCode"));
    QCOMPARE(QGuiApplication::clipboard()->text(), code);
    QVERIFY(!root->reminderBanner()->isVisibleTo(root));

    // The machine drifts: one line of .zshrc changed. The restore pane loads the backup and
    // previews the config alone, with the change as a diff, writing nothing.
    std::ofstream(w.home / ".zshrc") << "export PATH=$HOME/bin:$PATH\nalias gs='git status -sb'\nalias ll='ls -la'\n";
    key(w, Qt::Key_3);
    RestorePane* restore = root->restorePane();
    w.model->setRestoreDir(backupDir);
    restore->loadButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(w.model->loadedManifest().has_value(), slow);
    settle();
    button<QCheckBox>(restore, "Restore secrets")->click(); // the config alone
    settle();
    QVERIFY(!w.model->restoreSecretsOn() && !w.model->restoreProjectsOn());
    QTest::mouseClick(restore->restoreButton(), Qt::LeftButton); // a dry run by default
    QVERIFY(w.model->restoring());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->restoring(), slow);
    settle();
    QVERIFY2(!w.model->restoreError(), w.model->restoreError().value_or("").c_str());
    QWidget* preview = child(restore, "changesPreview");
    DiffRow* zshrc = nullptr;
    for (auto* row : preview->findChildren<DiffRow*>())
        zshrc = visibleTexts(row).contains("~/.zshrc") ? row : zshrc;
    QVERIFY(zshrc && showsText(zshrc, "modified") && showsText(zshrc, "+1"));
    zshrc->findChild<Disclosure*>()->click();
    auto* lines = child<QLabel>(zshrc, "diffLines");
    QVERIFY(lines->isVisibleTo(zshrc) && lines->text().contains("git status -sb"));
    const auto report = visibleTexts(child(restore, "restoreReport"));
    QVERIFY(report.size() == 1 && report.first().startsWith("Would restore "));
    QVERIFY(stowage::testing::slurp(w.home / ".zshrc").find("status -sb") != std::string::npos);

    // The apps pane copies reinstall commands with the backup folder quoted for the shell.
    key(w, Qt::Key_4);
    AppsPane* apps = root->appsPane();
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->scanningApps() && !w.model->apps().empty(), slow);
    settle();
    QVERIFY(showsText(apps, "Sketchpad"));
    QVERIFY(!child(apps, "copy-Brewfile")); // another system's lists only when the backup holds them
    child<QPushButton>(apps, "copy-apt-manual.txt")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), "xargs -a '" + QString::fromStdString(w.home.path()) +
                                                       "/My Backups/it'\\''s here/manifest/apt-manual.txt' sudo "
                                                       "apt-get install -y");
    apps->fromBackupButton()->click();
    settle();
    QVERIFY(showsText(apps, "This backup didn't capture an app list."));
}

QTEST_MAIN(GuiJourneyTests)
#include "GuiJourneyTests.moc"
