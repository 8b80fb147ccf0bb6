// Journeys through the desktop application's real widgets over a real model, engine and temporary
// home (offscreen platform). Each test is one thing a user does, start to finish.

#include "GuiFixture.hpp"

#include "gui/AppsView.hpp"
#include "gui/AuditView.hpp"
#include "gui/BackupView.hpp"
#include "gui/OnboardingView.hpp"
#include "gui/RestoreView.hpp"
#include "gui/RootView.hpp"
#include "gui/SettingsView.hpp"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QUrlQuery>
#include <QtTest>

#include <fstream>

using namespace stowage;
using namespace stowage::gui;
using stowage::testing::GuiWorld;

namespace {

constexpr int slow = 120000; // scans and backups run real git and real file copies on a shared machine

template <typename T> T* child(QWidget* root, const QString& name) {
    return root->findChild<T*>(name);
}

/// The visible push button with exactly this text under `root`.
QPushButton* button(QWidget* root, const QString& text) {
    for (auto* b : root->findChildren<QPushButton*>())
        if (b->text() == text && b->isVisibleTo(root))
            return b;
    return nullptr;
}

/// Texts of every visible label under `root`.
QStringList visibleTexts(QWidget* root) {
    QStringList out;
    for (auto* l : root->findChildren<QLabel*>())
        if (l->isVisibleTo(root) && !l->text().isEmpty())
            out << l->text();
    return out;
}

bool showsText(QWidget* root, const QString& text) {
    return visibleTexts(root).contains(text);
}

void waitForInventory(GuiWorld& w) {
    QTRY_VERIFY_WITH_TIMEOUT(w.model->inventory().has_value() && !w.model->scanning(), slow);
    QCoreApplication::processEvents();
}

void settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class GuiJourneyTests : public QObject {
    Q_OBJECT
private slots:
    void tabsMenuAndShortcuts();
    void onboardingAndReplay();
    void restorerLaunchWelcomesBack();
    void auditFiltersAndEmptyStates();
    void emptyInventoryOffersSettingsAndRescan();
    void backupCheckBoxesInThreeStates();
    void backupBlockReasonsThenRealBackupWithRecoveryCode();
    void restoreDryRunShowsPreviewAndReport();
    void appsPaneCopiesExactCommands();
};

void GuiJourneyTests::tabsMenuAndShortcuts() {
    GuiWorld w;
    w.window->show();
    RootView* root = w.window->root();
    // The first show starts the first scan; until it publishes, the audit pane shows only progress.
    QVERIFY(w.model->scanning());
    QVERIFY(showsText(root->auditPane(), "Scanning your machine…"));
    QVERIFY(!root->auditPane()->searchField()->isVisibleTo(root));
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    w.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
    waitForInventory(w);
    QVERIFY(root->statusLine()->text().startsWith("Scanned "));

    struct Step {
        Qt::Key key;
        AppModel::Tab tab;
        QWidget* pane;
    } steps[] = {{Qt::Key_2, AppModel::Tab::backup, (QWidget*)root->backupPane()},
                 {Qt::Key_3, AppModel::Tab::restore, (QWidget*)root->restorePane()},
                 {Qt::Key_4, AppModel::Tab::apps, (QWidget*)root->appsPane()},
                 {Qt::Key_5, AppModel::Tab::settings, (QWidget*)root->settingsPane()},
                 {Qt::Key_1, AppModel::Tab::audit, (QWidget*)root->auditPane()}};
    for (const auto& s : steps) {
        QTest::keyClick(w.window.get(), s.key, Qt::ControlModifier);
        settle();
        QVERIFY(w.model->tab() == s.tab);
        QCOMPARE(root->currentPane(), s.pane);
        QVERIFY(root->tabBar()->currentIndex() == static_cast<int>(s.tab));
    }
    // Clicking a tab is the same as its shortcut.
    QTest::mouseClick(root->tabBar(), Qt::LeftButton, {}, root->tabBar()->tabRect(2).center());
    settle();
    QVERIFY(w.model->tab() == AppModel::Tab::restore);
    QCOMPARE(root->tabBar()->tabText(1), QString("Back Up"));

    // Ctrl+R goes back to the audit and rescans; the command is disabled while the scan runs.
    QTest::keyClick(w.window.get(), Qt::Key_R, Qt::ControlModifier);
    QVERIFY(w.model->tab() == AppModel::Tab::audit);
    QVERIFY(w.model->scanning());
    QCOMPARE(root->statusLine()->text(), QString("Scanning…"));
    QVERIFY(!w.window->action("Rescan")->isEnabled());
    waitForInventory(w);
    QVERIFY(w.window->action("Rescan")->isEnabled());

    // Menu commands in Linux words; updates come from the system's packages.
    QVERIFY(w.window->action("Reveal Backup Folder in file manager"));
    QVERIFY(w.window->action("Check for Updates…"));
    QVERIFY(!w.window->action("Check for Updates…")->isEnabled());
    QCOMPARE(w.window->action("Quit")->shortcut(), QKeySequence("Ctrl+Q"));
    QCOMPARE(w.window->action("Back Up Now")->shortcut(), QKeySequence("Ctrl+B"));
    const QUrl mail = StowageApp::feedbackUrl();
    QCOMPARE(mail.scheme(), QString("mailto"));
    QCOMPARE(QUrlQuery(mail).queryItemValue("subject", QUrl::FullyDecoded), QString("Stowage 0.9.3 beta feedback"));
    auto* rescan = root->findChild<QToolButton*>("rescan");
    QCOMPARE(rescan->toolTip(), QString("Rescan this machine (Ctrl+R)"));
    QCOMPARE(rescan->accessibleName(), rescan->toolTip());
}

void GuiJourneyTests::onboardingAndReplay() {
    GuiWorld w(/*onboarded=*/false);
    w.window->show();
    RootView* root = w.window->root();
    OnboardingView* on = root->onboarding();
    QVERIFY(root->onboardingShown());
    const struct {
        QString title;
        bool back;
        QString next;
    } pages[] = {{"See what you'd lose", false, "Next"},
                 {"Back it up, encrypted", true, "Next"},
                 {"Restore on a fresh computer", true, "Get Started"}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(on->page(), i);
        QCOMPARE(on->title(), pages[i].title);
        QCOMPARE(on->backButton()->isVisibleTo(on), pages[i].back);
        QCOMPARE(on->nextButton()->text(), pages[i].next);
        if (i == 1) { // Back returns a page, Next comes forward again
            on->backButton()->click();
            QCOMPARE(on->page(), 0);
            on->nextButton()->click();
        }
        if (i < 2)
            QTest::keyClick(on->nextButton(), Qt::Key_Return); // the default action answers Enter
    }
    QVERIFY(!w.model->hasOnboarded());
    on->nextButton()->click();
    settle();
    QVERIFY(w.model->hasOnboarded());
    QVERIFY(w.defaults->boolean("hasOnboarded") == std::optional<bool>(true));
    QVERIFY(!root->onboardingShown());

    // Replay brings back the first page and leaves every other setting alone.
    w.model->setScanRootsText("~/src\n~/work");
    w.model->setReminderDays(30);
    w.model->setTab(AppModel::Tab::settings);
    settle();
    root->settingsPane()->replayButton()->click();
    settle();
    QVERIFY(root->onboardingShown());
    QCOMPARE(on->page(), 0);
    QVERIFY(w.model->scanRootsText() == std::string("~/src\n~/work"));
    QVERIFY(w.model->reminderDays() == 30);
    QVERIFY(w.defaults->boolean("hasOnboarded") == std::optional<bool>(false));
    // The settings pane shows what the model holds; the sandbox-only block stays hidden here.
    QCOMPARE(root->settingsPane()->scanRootsEdit()->toPlainText(), QString("~/src\n~/work"));
    QCOMPARE(root->settingsPane()->reminderPicker()->currentText(), QString("Monthly"));
    QVERIFY(!root->settingsPane()->grantedBlock()->isVisibleTo(root->settingsPane()));
}

void GuiJourneyTests::restorerLaunchWelcomesBack() {
    // Started from the copy a backup carries: the restore tab opens on that folder, no onboarding.
    GuiWorld w(/*onboarded=*/false, /*developerHome=*/false, "Backup/Stowage/stowage-app",
               [](const stowage::testing::TempHome& home) { home.writeFile("Backup/backup.json", "{}"); });
    w.window->show();
    settle();
    RootView* root = w.window->root();
    QVERIFY(w.model->isRestorerMode());
    QVERIFY(!root->onboardingShown());
    QVERIFY(root->welcomeBanner()->isVisibleTo(root));
    QVERIFY(showsText(root, "Welcome back"));
    QVERIFY(showsText(root, "Restoring from the backup this app shipped inside. Review below, then Restore."));
    QCOMPARE(root->currentPane(), static_cast<QWidget*>(root->restorePane()));
    QCOMPARE(root->restorePane()->findChild<FolderField*>()->path(), QString::fromStdString(w.home / "Backup"));
}

void GuiJourneyTests::auditFiltersAndEmptyStates() {
    GuiWorld w;
    w.window->show();
    waitForInventory(w);
    AuditPane* audit = w.window->root()->auditPane();
    settle();
    QVERIFY(child<QWidget>(audit, "summaryCard"));
    QVERIFY(child<QWidget>(audit, "tier-secret"));
    QTRY_VERIFY_WITH_TIMEOUT(child<QWidget>(audit, "gitRisks"), slow); // the repository task publishes on its own
    QVERIFY(showsText(audit, "Secrets"));
    QVERIFY(!button(audit, "Clear filters"));

    // A search that matches nothing shows the no-matches state, not the empty-inventory one.
    QTest::keyClicks(audit->searchField(), "ZZZ-no-such-thing");
    settle();
    QVERIFY(w.model->auditSearch() == std::string("ZZZ-no-such-thing"));
    QVERIFY(child<QWidget>(audit, "noMatches"));
    QVERIFY(showsText(audit, "Nothing matches these filters."));
    QVERIFY(!showsText(audit, "Nothing at risk found"));

    // The search survives a tab switch, because it lives in the model.
    QTest::keyClick(w.window.get(), Qt::Key_2, Qt::ControlModifier);
    settle();
    w.model->setTab(AppModel::Tab::audit);
    settle();
    QCOMPARE(audit->searchField()->text(), QString("ZZZ-no-such-thing"));

    // "Clear filters" in the empty state clears everything.
    button(child<QWidget>(audit, "noMatches"), "Clear filters")->click();
    settle();
    QVERIFY(!w.model->auditFiltersActive());
    QVERIFY(audit->searchField()->text().isEmpty());
    QVERIFY(!child<QWidget>(audit, "noMatches"));

    // Upper-case search matches a lower-case path; "Critical" narrows to critical risks.
    QTest::keyClicks(audit->searchField(), "ID_ED25519");
    settle();
    QVERIFY(child<QWidget>(audit, "tier-secret"));
    QVERIFY(!child<QWidget>(audit, "tier-config"));
    audit->searchField()->clear();
    button(audit, "Critical")->click();
    settle();
    QVERIFY(w.model->auditMinRisk() == std::optional<Risk>(Risk::critical));
    QVERIFY(button(audit, "Clear filters"));
    for (auto* badge : audit->findChildren<RiskBadge*>())
        QCOMPARE(badge->text(), QString("Critical"));
    button(audit, "Critical")->click(); // choosing the active chip again clears it
    settle();
    QVERIFY(!w.model->auditMinRisk());

    // A finding's row counts its paths and expands to list them.
    auto rows = audit->findChildren<FindingRow*>();
    QVERIFY(!rows.isEmpty());
    bool sawCount = false;
    for (auto* row : rows)
        for (const auto& t : visibleTexts(row))
            sawCount = sawCount || t == " · 1 item" || (t.startsWith(" · ") && t.endsWith(" items"));
    QVERIFY(sawCount);
}

void GuiJourneyTests::emptyInventoryOffersSettingsAndRescan() {
    GuiWorld w(/*onboarded=*/true, /*developerHome=*/false);
    w.window->show();
    waitForInventory(w);
    AuditPane* audit = w.window->root()->auditPane();
    settle();
    if (!w.model->inventory()->findings.empty())
        QSKIP("the scan found developer state outside the temporary home");
    QVERIFY(showsText(audit, "Nothing at risk found"));
    QVERIFY(!audit->searchField()->isVisibleTo(audit)); // no filter bar without findings
    button(audit, "Open Settings")->click();
    settle();
    QVERIFY(w.model->tab() == AppModel::Tab::settings);
    w.model->setTab(AppModel::Tab::audit);
    settle();
    button(audit, "Rescan")->click();
    QVERIFY(w.model->scanning());
    waitForInventory(w);
}

void GuiJourneyTests::backupCheckBoxesInThreeStates() {
    GuiWorld w;
    w.window->show();
    waitForInventory(w);
    w.model->setTab(AppModel::Tab::backup);
    settle();
    BackupPane* pane = w.window->root()->backupPane();
    CheckBox* secrets = nullptr;
    for (auto* b : pane->findChildren<CheckBox*>())
        if (b->accessibleName() == "Secrets, select all")
            secrets = b;
    QVERIFY(secrets);
    // After a scan everything selectable is selected.
    QCOMPARE(secrets->checkState(), Qt::Checked);
    QCOMPARE(secrets->accessibleDescription(), QString("selected"));
    QCOMPARE(w.model->selectedCount(), w.model->selectableCount());

    // Clearing one finding leaves the tier partly selected.
    SelectableFindingRow* first = nullptr;
    for (auto* row : pane->findChildren<SelectableFindingRow*>())
        if (row->parentWidget()->objectName() == "select-secret" && !first)
            first = row;
    QVERIFY(first);
    first->box()->click();
    settle();
    QCOMPARE(first->box()->checkState(), Qt::Unchecked);
    QCOMPARE(secrets->checkState(), Qt::PartiallyChecked);
    QCOMPARE(secrets->accessibleDescription(), QString("partially selected"));
    QVERIFY(w.model->selectedCount() < w.model->selectableCount());

    // A partly selected tier is cleared by its box, then selected whole by the next click.
    secrets->click();
    settle();
    QCOMPARE(secrets->checkState(), Qt::Unchecked);
    QCOMPARE(secrets->accessibleDescription(), QString("not selected"));
    QCOMPARE(w.model->selectedSecretCount(), 0);
    secrets->click();
    settle();
    QCOMPARE(secrets->checkState(), Qt::Checked);
    QCOMPARE(first->box()->checkState(), Qt::Checked);

    // "None" empties the selection; the count line follows.
    button(pane, "None")->click();
    settle();
    QVERIFY(child<QLabel>(pane, "selectionCount")
                ->text()
                .startsWith(QString("0 of %1 selected · ").arg(w.model->selectableCount())));
}

void GuiJourneyTests::backupBlockReasonsThenRealBackupWithRecoveryCode() {
    GuiWorld w;
    w.model->setBackupDir(w.home / "Backups/Stowage");
    w.model->setIncludeRestorer(false);
    w.window->show();
    waitForInventory(w);
    RootView* root = w.window->root();
    QVERIFY(root->reminderBanner()->isVisibleTo(root));
    QVERIFY(showsText(root, "You haven't backed up yet."));
    QTest::keyClick(w.window.get(), Qt::Key_2, Qt::ControlModifier);
    settle();
    BackupPane* pane = root->backupPane();
    auto reason = [&] { return child<IconLine>(pane, "blockReason"); };

    // Secrets selected, encryption on, no passphrase.
    QVERIFY(!pane->backUpButton()->isEnabled());
    QVERIFY(reason()->isVisibleTo(pane));
    QCOMPARE(reason()->text(), QString("Enter a passphrase to encrypt your secrets (or switch off encryption)."));
    // A confirmation that differs.
    QTest::keyClicks(pane->passphraseField(), "orbit-Lantern-42-quiet");
    QTest::keyClicks(pane->confirmField(), "orbit-Lantern-42-quiez");
    settle();
    QCOMPARE(reason()->text(), QString("Passphrase and confirmation don't match."));
    QVERIFY(child<QLabel>(pane, "mismatch")->isVisibleTo(pane));
    QVERIFY(!pane->backUpButton()->isEnabled());
    QCOMPARE(pane->findChild<StrengthBar*>()->score(), w.model->passphraseScore());
    // Nothing chosen at all.
    button(pane, "None")->click();
    for (auto* b : pane->findChildren<QCheckBox*>())
        if (b->text() == "Manifests" && b->isChecked())
            b->click();
    settle();
    QCOMPARE(reason()->text(), QString("Select at least one thing to back up."));
    QVERIFY(!w.window->action("Back Up Now")->isEnabled());

    // Everything again, sealed with a random key: the recovery code is shown once.
    button(pane, "All")->click();
    for (auto* b : pane->findChildren<QCheckBox*>())
        if (b->text() == "Protect secrets with a passphrase")
            b->click();
    settle();
    QVERIFY(!w.model->usePassphrase());
    QVERIFY(!reason()->isVisibleTo(pane));
    QVERIFY(pane->backUpButton()->isEnabled());
    QTest::mouseClick(pane->backUpButton(), Qt::LeftButton);
    settle();
    QVERIFY(w.model->backingUp());
    QCOMPARE(pane->backUpButton()->text(), QString("Backing up…"));
    QVERIFY(!pane->backUpButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->backingUp(), slow);
    settle();
    QVERIFY2(!w.model->backupError(), w.model->backupError().value_or("").c_str());
    QVERIFY(w.model->backupResult());
    QWidget* result = child<QWidget>(pane, "backupResult");
    QVERIFY(result && result->isVisibleTo(pane));
    QVERIFY(showsText(result, "Backup complete"));
    QVERIFY(showsText(result, QString::number(w.model->backupResult()->capturedSecrets.size())));
    QWidget* card = child<QWidget>(pane, "recoveryCard");
    QVERIFY(card);
    const QString code = QString::fromStdString(*w.model->backupResult()->recoveryCode);
    QCOMPARE(child<QLabel>(card, "recoveryCode")->text(), code);
    auto* copy = child<QPushButton>(card, "copyRecoveryCode");
    QCOMPARE(copy->text(), QString("Copy recovery code"));
    copy->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), code);
    QCOMPARE(copy->text(), QString("Copied!"));
    QTRY_COMPARE_WITH_TIMEOUT(copy->text(), QString("Copy recovery code"), 5000);
    // The reminder goes as soon as a backup completes.
    QVERIFY(!root->reminderBanner()->isVisibleTo(root));

    // A passphrase backup never shows a recovery code.
    for (auto* b : pane->findChildren<QCheckBox*>())
        if (b->text() == "Protect secrets with a passphrase")
            b->click();
    pane->confirmField()->clear();
    QTest::keyClicks(pane->confirmField(), "orbit-Lantern-42-quiet");
    settle();
    QVERIFY(pane->backUpButton()->isEnabled());
    QTest::keyClick(pane->confirmField(), Qt::Key_Return); // Enter starts the backup
    QVERIFY(w.model->backingUp());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->backingUp(), slow);
    settle();
    QVERIFY(child<QWidget>(pane, "backupResult"));
    QVERIFY(!child<QWidget>(pane, "recoveryCard"));
    QVERIFY(showsText(pane, "Secrets encrypted with your passphrase. You'll need it to restore — there's no recovery "
                            "code."));
}

void GuiJourneyTests::restoreDryRunShowsPreviewAndReport() {
    GuiWorld w;
    const std::string backupDir = w.home / "Backups/main";
    w.model->setBackupDir(backupDir);
    w.model->setIncludeRestorer(false);
    w.model->setUsePassphrase(false);
    w.window->show();
    waitForInventory(w);
    w.model->runBackup();
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->backingUp(), slow);
    QVERIFY2(w.model->backupResult(), w.model->backupError().value_or("").c_str());
    // The machine drifts after the backup: one line of .zshrc changed.
    std::ofstream(w.home / ".zshrc") << "export PATH=$HOME/bin:$PATH\nalias gs='git status -sb'\nalias ll='ls -la'\n";

    QTest::keyClick(w.window.get(), Qt::Key_3, Qt::ControlModifier);
    settle();
    RestorePane* pane = w.window->root()->restorePane();
    // Before loading, only the folder, the load button and the warnings.
    QVERIFY(!child<QWidget>(pane, "backupSummary")->isVisibleTo(pane));
    QCOMPARE(child<IconLine>(pane, "restoreBlockReason")->text(), QString("Choose a backup folder above."));
    w.model->setRestoreDir(backupDir);
    pane->loadButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(w.model->loadedManifest().has_value(), slow);
    settle();
    QVERIFY(child<QWidget>(pane, "backupSummary")->isVisibleTo(pane));
    QVERIFY(visibleTexts(pane).filter(QRegularExpression("^Backup from ")).size() == 1);
    QVERIFY(showsText(pane, "Backup history (1)"));
    QVERIFY(w.model->restoreConfigOn());
    // Config only, previewed.
    for (auto* b : pane->findChildren<QCheckBox*>())
        if ((b->text() == "Restore secrets" || b->text().startsWith("Restore project source")) && b->isChecked())
            b->click();
    settle();
    QVERIFY(!w.model->restoreSecretsOn());
    QCOMPARE(pane->restoreButton()->text(), QString("Preview Restore"));
    QTest::mouseClick(pane->restoreButton(), Qt::LeftButton);
    QVERIFY(w.model->restoring());
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->restoring(), slow);
    settle();
    QVERIFY2(!w.model->restoreError(), w.model->restoreError().value_or("").c_str());
    QWidget* preview = child<QWidget>(pane, "changesPreview");
    QVERIFY(preview);
    QVERIFY(showsText(preview, "Changes preview"));
    QVERIFY(visibleTexts(preview).filter(QRegularExpression("^\\d+ changed · \\d+ unchanged$")).size() == 1);
    DiffRow* zshrc = nullptr;
    for (auto* row : preview->findChildren<DiffRow*>())
        if (visibleTexts(row).contains("~/.zshrc"))
            zshrc = row;
    QVERIFY(zshrc);
    QVERIFY(showsText(zshrc, "modified"));
    QVERIFY(showsText(zshrc, "+1"));
    zshrc->findChild<Disclosure*>()->click();
    auto* lines = zshrc->findChild<QLabel*>("diffLines");
    QVERIFY(lines->isVisibleTo(zshrc));
    QVERIFY(lines->text().contains("git status -sb"));
    QWidget* report = child<QWidget>(pane, "restoreReport");
    QVERIFY(report);
    const auto reportLines = visibleTexts(report);
    QCOMPARE(reportLines.size(), qsizetype(1));
    QVERIFY(reportLines.first().startsWith("Would restore "));
    QVERIFY(reportLines.first().contains(" config file(s)"));
    // Nothing was written by the preview.
    QVERIFY(stowage::testing::slurp(w.home / ".zshrc").find("status -sb") != std::string::npos);
    // Switching the dry run off only renames the button.
    const auto selection = w.model->selectedRestoreConfig();
    for (auto* b : pane->findChildren<QCheckBox*>())
        if (b->text() == "Dry run")
            b->click();
    settle();
    QCOMPARE(pane->restoreButton()->text(), QString("Restore Now"));
    QVERIFY(w.model->selectedRestoreConfig() == selection);
}

void GuiJourneyTests::appsPaneCopiesExactCommands() {
    GuiWorld w;
    const std::string backupDir = w.home / "My Backups/it's here";
    w.model->setBackupDir(backupDir);
    w.window->show();
    QTest::keyClick(w.window.get(), Qt::Key_4, Qt::ControlModifier);
    w.model->setTab(AppModel::Tab::apps);
    settle();
    AppsPane* pane = w.window->root()->appsPane();
    QTRY_VERIFY_WITH_TIMEOUT(!w.model->scanningApps() && !w.model->apps().empty(), slow);
    settle();
    QCOMPARE(pane->thisMachineButton()->text(), QString("This computer"));
    QCOMPARE(pane->fromBackupButton()->text(), QString("From backup (0)"));
    // This machine: rows without reinstall ticks.
    auto rows = pane->findChildren<AppRow*>();
    QVERIFY(!rows.isEmpty());
    for (auto* row : rows)
        QVERIFY(row->findChildren<CheckBox*>().isEmpty());
    QVERIFY(showsText(pane, "Sketchpad"));

    const QString manifest = QString::fromStdString(backupDir) + "/manifest/";
    const QString quotedDir = "'" + QString::fromStdString(w.home.path()) + "/My Backups/it'\\''s here/manifest/";
    const struct {
        const char* file;
        QString command;
    } cases[] = {
        {"apt-manual.txt", "xargs -a " + quotedDir + "apt-manual.txt' sudo apt-get install -y"},
        {"pipx.txt", "xargs -n 1 -a " + quotedDir + "pipx.txt' pipx install"},
        {"pip-global.txt", "pip3 install -r " + quotedDir + "pip-global.txt'"},
        {"npm-global.txt", "xargs npm install -g < " + quotedDir + "npm-global.txt'"},
        {"vscode-extensions.txt", "xargs -L1 code --install-extension < " + quotedDir + "vscode-extensions.txt'"},
        {"cargo-installed.txt", "xargs -n1 cargo install < " + quotedDir + "cargo-installed.txt'"},
    };
    // Another system's toolchains only when the backup holds their lists.
    QVERIFY(!child<QPushButton>(pane, QString("copy-Brewfile")));
    for (const auto& c : cases) {
        auto* copy = child<QPushButton>(pane, QString("copy-") + c.file);
        QVERIFY2(copy, c.file);
        QCOMPARE(copy->text(), QString("Copy command"));
        copy->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), c.command);
        QCOMPARE(copy->text(), QString("Copied!"));
    }
    // A backup without an app list says so.
    pane->fromBackupButton()->click();
    settle();
    QVERIFY(w.model->showBackupApps());
    QVERIFY(visibleTexts(pane).contains("This backup didn't capture an app list."));
}

QTEST_MAIN(GuiJourneyTests)
#include "GuiJourneyTests.moc"
