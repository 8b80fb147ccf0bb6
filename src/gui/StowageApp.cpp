#include "gui/StowageApp.hpp"

#include "gui/RootView.hpp"
#include "gui/Widgets.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QMenuBar>
#include <QMessageBox>
#include <QUrl>
#include <QUrlQuery>

namespace stowage::gui {

void applyStyle(QApplication& app) {
    app.setStyleSheet(QStringLiteral(R"(
QPushButton#chip {
    border: 1px solid palette(mid);
    border-radius: 11px;
    padding: 3px 12px;
    background: transparent;
}
QPushButton#chip:checked {
    background: palette(highlight);
    color: palette(highlighted-text);
    border-color: palette(highlight);
}
QPushButton#chip:focus { border-color: palette(highlight); }
QPushButton#segment {
    border: 1px solid palette(mid);
    padding: 4px 14px;
    background: palette(button);
}
QPushButton#segment:checked {
    background: palette(highlight);
    color: palette(highlighted-text);
    border-color: palette(highlight);
}
QPushButton#segment:focus { border-color: palette(highlight); }
QPushButton#primary {
    background: palette(highlight);
    color: palette(highlighted-text);
    border: 1px solid palette(highlight);
    border-radius: 6px;
    padding: 5px 18px;
    font-weight: 600;
}
QPushButton#primary:focus { border: 2px solid palette(highlighted-text); }
QPushButton#primary:disabled {
    background: palette(midlight);
    color: palette(placeholder-text);
    border-color: palette(mid);
}
QTabBar::tab { padding: 6px 16px; }
QPushButton { padding: 4px 12px; }
)"));
}

StowageApp::StowageApp(AppModel& model, std::unique_ptr<Updater> updater, QWidget* parent)
    : QMainWindow(parent), model_(model), changes_(model), updater_(std::move(updater)) {
    setWindowTitle(tr("Stowage"));
    QIcon appIcon;
    for (int s : {32, 64, 128, 256})
        appIcon.addFile(QStringLiteral(":/icons/stowage-%1.png").arg(s));
    setWindowIcon(appIcon);
    root_ = new RootView(model_, changes_, this);
    setCentralWidget(root_);
    resize(980, 760);
    setMinimumSize(720, 540);
    buildMenu();
    connect(root_, &RootView::quitRequested, this, &QWidget::close);
    // Immediately, not once per batch: a command must never stay enabled while its work has started.
    connect(&changes_, &ModelSignals::propertyChanged, this, &StowageApp::refreshActions);
    refreshActions();
}

StowageApp::~StowageApp() = default;

QUrl StowageApp::feedbackUrl() {
    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(QString::fromLatin1(ProductInfo::feedbackAddress));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), QString::fromLatin1(ProductInfo::feedbackSubject));
    url.setQuery(query);
    return url;
}

QAction* StowageApp::action(const QString& text) const {
    for (QAction* a : findChildren<QAction*>())
        if (a->text() == text)
            return a;
    return nullptr;
}

void StowageApp::buildMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&Actions"));
    menu->setObjectName(QStringLiteral("actionsMenu"));
    auto add = [&](const QString& text, const QKeySequence& keys, auto slot) {
        QAction* a = menu->addAction(text);
        a->setParent(this);
        if (!keys.isEmpty()) {
            a->setShortcut(keys);
            a->setShortcutContext(Qt::ApplicationShortcut);
        }
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    rescan_ = add(tr("Rescan"), QKeySequence(QStringLiteral("Ctrl+R")), [this] {
        model_.setTab(AppModel::Tab::audit);
        model_.scan();
    });
    backUpNow_ = add(tr("Back Up Now"), QKeySequence(QStringLiteral("Ctrl+B")), [this] {
        model_.setTab(AppModel::Tab::backup);
        if (model_.canBackUp() && !model_.backingUp())
            model_.runBackup();
    });
    menu->addSeparator();
    const std::pair<const char*, AppModel::Tab> tabs[] = {{"Audit", AppModel::Tab::audit},
                                                          {"Back Up", AppModel::Tab::backup},
                                                          {"Restore", AppModel::Tab::restore},
                                                          {"Apps", AppModel::Tab::apps},
                                                          {"Settings", AppModel::Tab::settings}};
    int n = 1;
    for (const auto& [label, tab] : tabs) {
        add(tr(label), QKeySequence(QStringLiteral("Ctrl+%1").arg(n++)), [this, t = tab] { model_.setTab(t); });
    }
    menu->addSeparator();
    add(tr("Show Welcome"), QKeySequence(), [this] {
        model_.setHasOnboarded(false);
        model_.persist();
    });
    add(say("Reveal Backup Folder in Finder"), QKeySequence(), [this] {
        const QString dir = QString::fromStdString(model_.backupDir());
        if (dir.isEmpty() || !QDir(dir).exists()) {
            QMessageBox::information(this, tr("Stowage"),
                                     tr("The backup folder %1 does not exist yet. It is created by the first backup.")
                                         .arg(dir.isEmpty() ? tr("(none chosen)") : dir));
            return;
        }
        revealInFileManager(dir);
    });
    add(tr("Send Beta Feedback…"), QKeySequence(), [] { QDesktopServices::openUrl(feedbackUrl()); });
    checkUpdates_ = add(tr("Check for Updates…"), QKeySequence(), [this] {
        if (updater_ && updater_->canCheckForUpdates())
            updater_->checkForUpdates();
    });
    if (updater_ && !updater_->canCheckForUpdates()) {
        checkUpdates_->setToolTip(updater_->unavailableReason());
        checkUpdates_->setStatusTip(updater_->unavailableReason());
    }
    menu->setToolTipsVisible(true);
    add(tr("About Stowage"), QKeySequence(), [this] {
        QMessageBox box(this);
        box.setWindowTitle(tr("About Stowage"));
        box.setIconPixmap(windowIcon().pixmap(96, 96));
        box.setTextFormat(Qt::RichText);
        box.setText(tr("<h3>Stowage %1 beta</h3>"
                       "<p>What you'd lose on a wipe — audited, backed up encrypted, restored.</p>"
                       "<p>Made by Larchworks, with thanks to our beta testers.</p>"
                       "<p><a href=\"%2\">%2</a></p>")
                        .arg(QString::fromLatin1(ProductInfo::version), QString::fromLatin1(ProductInfo::site)));
        box.setTextInteractionFlags(Qt::TextBrowserInteraction);
        box.exec();
    });
    menu->addSeparator();
    QAction* quit = add(tr("Quit"), QKeySequence(QStringLiteral("Ctrl+Q")), [this] { close(); });
    quit->setMenuRole(QAction::QuitRole);
}

void StowageApp::refreshActions() {
    rescan_->setEnabled(!model_.scanning());
    backUpNow_->setEnabled(!model_.backingUp() && model_.canBackUp());
    checkUpdates_->setEnabled(updater_ && updater_->canCheckForUpdates());
}

void StowageApp::closeEvent(QCloseEvent* event) {
    if (model_.backingUp() || model_.restoring()) {
        const auto answer =
            QMessageBox::question(this, tr("Stowage"),
                                  model_.backingUp() ? tr("A backup is still running. Quit when it has finished?")
                                                     : tr("A restore is still running. Quit when it has finished?"),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    event->accept();
    qApp->quit();
}

} // namespace stowage::gui
