#include "gui/RootView.hpp"

#include "gui/AppsView.hpp"
#include "gui/AuditView.hpp"
#include "gui/BackupView.hpp"
#include "gui/OnboardingView.hpp"
#include "gui/RestoreView.hpp"
#include "gui/SettingsView.hpp"
#include "gui/Widgets.hpp"

#include <QBoxLayout>
#include <QDateTime>
#include <QLocale>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTabBar>

namespace stowage::gui {

RootView::RootView(AppModel& model, ModelSignals& changes, QWidget* parent) : QWidget(parent), model_(model) {
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    cover_ = new QStackedWidget(this);
    top->addWidget(cover_);

    auto* main = new QWidget(cover_);
    auto* v = new QVBoxLayout(main);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);

    // Header.
    auto* header = new QWidget(main);
    auto* hv = new QHBoxLayout(header);
    hv->setContentsMargins(20, 14, 14, 6);
    hv->setSpacing(10);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(8);
    auto* name = new QLabel(tr("Stowage"), header);
    name->setFont(scaledFont(name->font(), 8, QFont::Bold));
    nameRow->addWidget(name);
    auto* beta = new Capsule(tr("BETA"), Tint::blue, header);
    nameRow->addWidget(beta, 0, Qt::AlignVCenter);
    nameRow->addStretch(1);
    titles->addLayout(nameRow);
    titles->addWidget(caption(tr("What you'd lose on a wipe"), header));
    hv->addLayout(titles, 1);
    rescan_ = iconButton(Glyph::rescan, say("Rescan this machine (⌘R)"), header);
    rescan_->setObjectName(QStringLiteral("rescan"));
    hv->addWidget(rescan_, 0, Qt::AlignVCenter);
    v->addWidget(header);

    // Tab bar.
    tabs_ = new QTabBar(main);
    tabs_->setExpanding(false);
    tabs_->setDrawBase(true);
    tabs_->setDocumentMode(true);
    for (const char* label : {"Audit", "Back Up", "Restore", "Apps", "Settings"})
        tabs_->addTab(tr(label));
    auto* tabRow = new QHBoxLayout;
    tabRow->setContentsMargins(14, 0, 14, 0);
    tabRow->addWidget(tabs_);
    tabRow->addStretch(1);
    v->addLayout(tabRow);

    // Banners.
    auto* banners = new QVBoxLayout;
    banners->setContentsMargins(16, 8, 16, 0);
    banners->setSpacing(8);
    {
        auto* card = new Card(main, Tint::blue);
        card->setObjectName(QStringLiteral("welcomeBanner"));
        auto* h = new QHBoxLayout;
        auto* i = new QLabel(card);
        const int side = QFontMetrics(font()).height() + 6;
        i->setPixmap(glyphIcon(Glyph::restore, tintColor(Tint::blue, palette())).pixmap(side, side));
        h->addWidget(i, 0, Qt::AlignTop);
        auto* tv = new QVBoxLayout;
        tv->setSpacing(2);
        auto* t = new QLabel(tr("Welcome back"), card);
        t->setFont(scaledFont(t->font(), 1, QFont::DemiBold));
        tv->addWidget(t);
        tv->addWidget(
            wrapLabel(tr("Restoring from the backup this app shipped inside. Review below, then Restore."), card));
        h->addLayout(tv, 1);
        card->body()->addLayout(h);
        welcome_ = card;
        banners->addWidget(card);
    }
    {
        auto* card = new Card(main, Tint::orange);
        card->setObjectName(QStringLiteral("reminderBanner"));
        auto* h = new QHBoxLayout;
        auto* i = new QLabel(card);
        const int side = QFontMetrics(font()).height() + 2;
        i->setPixmap(glyphIcon(Glyph::warning, tintColor(Tint::orange, palette())).pixmap(side, side));
        h->addWidget(i);
        reminderText_ = wrapLabel(QString(), card);
        h->addWidget(reminderText_, 1);
        auto* go = new QPushButton(tr("Back up"), card);
        h->addWidget(go);
        card->body()->addLayout(h);
        card->body()->setContentsMargins(12, 8, 12, 8);
        connect(go, &QPushButton::clicked, this, [this] { model_.setTab(AppModel::Tab::backup); });
        reminder_ = card;
        banners->addWidget(card);
    }
    v->addLayout(banners);

    // Panes.
    panes_ = new QStackedWidget(main);
    audit_ = new AuditPane(model, changes, panes_);
    backup_ = new BackupPane(model, changes, panes_);
    restore_ = new RestorePane(model, changes, panes_);
    apps_ = new AppsPane(model, changes, panes_);
    settings_ = new SettingsPane(model, changes, panes_);
    for (QWidget* w : std::initializer_list<QWidget*>{audit_, backup_, restore_, apps_, settings_})
        panes_->addWidget(w);
    v->addWidget(panes_, 1);

    // Footer.
    auto* footer = new ActionBar(main);
    busy_ = new QProgressBar(footer);
    busy_->setRange(0, 0);
    busy_->setMaximumWidth(60);
    busy_->setMaximumHeight(10);
    busy_->setTextVisible(false);
    busy_->setAccessibleName(tr("Working"));
    footer->row()->setContentsMargins(16, 6, 12, 6);
    footer->row()->addWidget(busy_);
    status_ = new QLabel(footer);
    status_->setObjectName(QStringLiteral("statusLine"));
    makeSecondary(status_);
    footer->row()->addWidget(status_, 1);
    auto* quit = new QPushButton(tr("Quit"), footer);
    footer->row()->addWidget(quit);
    v->addWidget(footer);
    cover_->addWidget(main);

    onboarding_ = new OnboardingView(model, cover_);
    cover_->addWidget(onboarding_);

    connect(tabs_, &QTabBar::currentChanged, this,
            [this](int index) { model_.setTab(static_cast<AppModel::Tab>(index)); });
    connect(rescan_, &QToolButton::clicked, this, [this] { model_.scan(); });
    connect(quit, &QPushButton::clicked, this, &RootView::quitRequested);
    // The frame is cheap to refresh, so the status line and banners follow every change at once.
    connect(&changes, &ModelSignals::propertyChanged, this, &RootView::refresh);
    refresh();
}

bool RootView::onboardingShown() const {
    return cover_->currentWidget() == onboarding_;
}

QWidget* RootView::currentPane() const {
    return panes_->currentWidget();
}

void RootView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (firstShow_) {
        firstShow_ = false;
        if (!model_.inventory())
            model_.scan();
    }
}

void RootView::refresh() {
    const bool onboarding = !model_.hasOnboarded();
    if (onboarding && !onboardingShown())
        onboarding_->restart();
    cover_->setCurrentIndex(onboarding ? 1 : 0);

    const int index = static_cast<int>(model_.tab());
    if (tabs_->currentIndex() != index) {
        const QSignalBlocker block(tabs_);
        tabs_->setCurrentIndex(index);
    }
    if (panes_->currentIndex() != index)
        panes_->setCurrentIndex(index);

    welcome_->setVisible(model_.isRestorerMode());
    reminder_->setVisible(model_.needsBackupReminder());
    reminderText_->setText(QString::fromStdString(model_.backupReminderText()));
    rescan_->setEnabled(!model_.scanning());

    QString status;
    if (model_.scanning())
        status = tr("Scanning…");
    else if (model_.backingUp())
        status = tr("Backing up…");
    else if (model_.restoring())
        status = tr("Restoring…");
    else if (model_.inventory()) {
        const auto secs =
            std::chrono::duration_cast<std::chrono::seconds>(model_.inventory()->scannedAt.time_since_epoch()).count();
        const QDateTime at = QDateTime::fromSecsSinceEpoch(secs);
        status = tr("Scanned ") + QLocale().toString(at.time(), QLocale::ShortFormat);
    }
    status_->setText(status);
    busy_->setVisible(model_.scanning() || model_.backingUp() || model_.restoring());
}

} // namespace stowage::gui
