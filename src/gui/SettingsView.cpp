#include "gui/SettingsView.hpp"

#include "core/ScopedFileAccess.hpp"
#include "model/Text.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLocale>
#include <QPlainTextEdit>

namespace stowage::gui {

namespace {

QPlainTextEdit* listEdit(const QString& name, QWidget* parent) {
    auto* e = new QPlainTextEdit(parent);
    e->setAccessibleName(name);
    e->setTabChangesFocus(true);
    e->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    e->setFixedHeight(QFontMetrics(e->font()).lineSpacing() * 4 + 16);
    return e;
}

QLabel* fieldLabel(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setFont(scaledFont(l->font(), 0, QFont::DemiBold));
    return l;
}

} // namespace

SettingsPane::SettingsPane(AppModel& model, ModelSignals& changes, QWidget* parent) : Pane(model, changes, parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* column = makeScrollColumn(outer);
    column->addWidget(caption(tr("Where Stowage looks, what it ignores, and how often it nags you."), this));

    auto* scan = new Card(this);
    auto* rl = fieldLabel(tr("Scan roots"), scan);
    roots_ = listEdit(tr("Scan roots"), scan);
    rl->setBuddy(roots_);
    scan->body()->addWidget(rl);
    scan->body()->addWidget(roots_);
    scan->body()->addWidget(caption(tr("One path per line. Where to hunt for .env files and projects."), scan));
    scan->body()->addSpacing(6);
    auto* el = fieldLabel(tr("Exclusion globs"), scan);
    excludes_ = listEdit(tr("Exclusion globs"), scan);
    el->setBuddy(excludes_);
    scan->body()->addWidget(el);
    scan->body()->addWidget(excludes_);
    scan->body()->addWidget(caption(tr("One per line, e.g. *.log or **/cache/**. Matches are never backed up."), scan));
    column->addWidget(scan);

    auto* backup = new Card(this);
    backupDir_ = new FolderField(tr("Default backup folder"), backup);
    backupDir_->onChosen = [this](const QString& p) { model_.setBackupDir(p.toStdString()); };
    backup->body()->addWidget(backupDir_);
    backup->body()->addSpacing(6);
    incremental_ = new QCheckBox(tr("Incremental backups"));
    backup->body()->addWidget(
        toggleRow(incremental_, tr("skip re-copying files whose contents haven't changed"), backup));
    backup->body()->addSpacing(6);
    auto* rem = new QHBoxLayout;
    auto* reml = fieldLabel(tr("Remind me to back up"), backup);
    rem->addWidget(reml);
    reminder_ = new QComboBox(backup);
    reminder_->addItem(tr("Weekly"), 7);
    reminder_->addItem(tr("Every 2 weeks"), 14);
    reminder_->addItem(tr("Monthly"), 30);
    reminder_->setAccessibleName(tr("Remind me to back up"));
    reml->setBuddy(reminder_);
    rem->addWidget(reminder_);
    lastBackup_ = caption(QString(), backup);
    rem->addWidget(lastBackup_, 1);
    backup->body()->addLayout(rem);
    backup->body()->addSpacing(6);
    auto* sch = new QHBoxLayout;
    auto* schl = fieldLabel(tr("Back up automatically"), backup);
    sch->addWidget(schl);
    schedule_ = new QComboBox(backup);
    schedule_->addItem(tr("Off"), static_cast<int>(schedule::Frequency::off));
    schedule_->addItem(tr("Daily"), static_cast<int>(schedule::Frequency::daily));
    schedule_->addItem(tr("Weekly"), static_cast<int>(schedule::Frequency::weekly));
    schedule_->setAccessibleName(tr("Back up automatically"));
    schedule_->setToolTip(tr("Runs stowage backup through your session's systemd timer, even while Stowage is closed. "
                             "A missed run happens at the next login; a failed one shows a notification."));
    schl->setBuddy(schedule_);
    sch->addWidget(schedule_);
    scheduleNote_ = caption(QString(), backup);
    scheduleNote_->setWordWrap(true);
    sch->addWidget(scheduleNote_, 1);
    backup->body()->addLayout(sch);
    column->addWidget(backup);

    granted_ = new Card(this);
    granted_->setObjectName(QStringLiteral("grantedFolders"));
    {
        auto* body = static_cast<Card*>(granted_)->body();
        body->addWidget(fieldLabel(tr("Granted folders"), granted_));
        body->addWidget(caption(say("The App Store edition can only read folders you grant. Grant your home folder "
                                    "for full coverage."),
                                granted_));
        grantedList_ = new QVBoxLayout;
        body->addLayout(grantedList_);
        auto* grant = new QPushButton(tr("Grant Access…"), granted_);
        body->addWidget(grant, 0, Qt::AlignLeft);
        connect(grant, &QPushButton::clicked, this, [this] {
            QFileDialog dialog(this, tr("Choose a folder Stowage may read (your home folder gives full coverage)."),
                               QDir::homePath());
            dialog.setFileMode(QFileDialog::Directory);
            dialog.setOption(QFileDialog::ShowDirsOnly);
            dialog.setLabelText(QFileDialog::Accept, tr("Grant"));
            if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
                return;
            model_.grantFolder(QDir(dialog.selectedFiles().first()).absolutePath().toStdString());
        });
    }
    column->addWidget(granted_);

    replay_ = new QPushButton(tr("Replay onboarding"), this);
    column->addWidget(replay_, 0, Qt::AlignLeft);
    column->addStretch(1);

    connect(roots_, &QPlainTextEdit::textChanged, this,
            [this] { model_.setScanRootsText(roots_->toPlainText().toStdString()); });
    connect(excludes_, &QPlainTextEdit::textChanged, this,
            [this] { model_.setExcludeGlobsText(excludes_->toPlainText().toStdString()); });
    connect(incremental_, &QCheckBox::toggled, this, [this](bool on) { model_.setIncremental(on); });
    connect(reminder_, &QComboBox::activated, this,
            [this](int index) { model_.setReminderDays(reminder_->itemData(index).toInt()); });
    connect(schedule_, &QComboBox::activated, this, [this](int index) {
        model_.setScheduleFrequency(static_cast<schedule::Frequency>(schedule_->itemData(index).toInt()));
    });
    connect(replay_, &QPushButton::clicked, this, [this] {
        model_.setHasOnboarded(false);
        model_.persist();
    });
    refresh();
    model_.refreshSchedule();
}

void SettingsPane::refresh() {
    if (roots_->toPlainText().toStdString() != model_.scanRootsText()) {
        const QSignalBlocker b(roots_);
        roots_->setPlainText(QString::fromStdString(model_.scanRootsText()));
    }
    if (excludes_->toPlainText().toStdString() != model_.excludeGlobsText()) {
        const QSignalBlocker b(excludes_);
        excludes_->setPlainText(QString::fromStdString(model_.excludeGlobsText()));
    }
    backupDir_->setPath(QString::fromStdString(model_.backupDir()));
    {
        const QSignalBlocker b(incremental_);
        incremental_->setChecked(model_.incremental());
    }
    int index = reminder_->findData(model_.reminderDays());
    if (index < 0) {
        // A value set elsewhere (the command line, an older version) is shown rather than hidden.
        const int days = model_.reminderDays();
        reminder_->addItem(days < 1 ? tr("Never") : tr("Every %1 days").arg(days), days);
        index = reminder_->count() - 1;
    }
    reminder_->setCurrentIndex(index);
    lastBackup_->setText(QString::fromStdString(model_.lastBackupDescription()));
    {
        const QSignalBlocker b(schedule_);
        schedule_->setCurrentIndex(schedule_->findData(static_cast<int>(model_.scheduleFrequency())));
        schedule_->setEnabled(!model_.changingSchedule());
    }
    QString note;
    if (model_.changingSchedule()) {
        note = tr("Applying\u2026");
    } else if (model_.scheduleError()) {
        note = QString::fromStdString(*model_.scheduleError());
    } else {
        QStringList parts;
        if (model_.nextScheduledRun())
            parts << tr("next run %1")
                         .arg(QLocale().toString(
                             QDateTime::fromSecsSinceEpoch(std::chrono::duration_cast<std::chrono::seconds>(
                                                               model_.nextScheduledRun()->time_since_epoch())
                                                               .count()),
                             QLocale::ShortFormat));
        if (const auto& last = model_.lastScheduledRun())
            parts << (last->succeeded ? tr("last scheduled run succeeded %1") : tr("last scheduled run failed %1"))
                         .arg(QString::fromStdString(text::relativeTime(last->at, std::chrono::system_clock::now())));
        note = parts.join(QStringLiteral(" \u00b7 "));
    }
    scheduleNote_->setText(note);
    const bool problem = model_.scheduleError() || (model_.lastScheduledRun() && !model_.lastScheduledRun()->succeeded);
    if (problem) {
        QPalette notePalette = scheduleNote_->palette();
        notePalette.setColor(QPalette::WindowText, tintColor(Tint::red, palette()));
        scheduleNote_->setPalette(notePalette);
        scheduleNote_->setForegroundRole(QPalette::WindowText);
    } else {
        makeSecondary(scheduleNote_);
    }

    granted_->setVisible(Sandbox::isActive());
    if (!rootsShown_ || shownRoots_ != model_.grantedRoots()) {
        rootsShown_ = true;
        shownRoots_ = model_.grantedRoots();
        clearLayout(grantedList_);
        if (shownRoots_.empty())
            grantedList_->addWidget(caption(tr("No folders granted yet."), granted_));
        for (const auto& root : shownRoots_)
            grantedList_->addWidget(
                new IconLine(Glyph::folder, Tint::secondary, QString::fromStdString(root), granted_));
    }
}

} // namespace stowage::gui
