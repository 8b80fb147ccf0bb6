#include "gui/RestoreView.hpp"

#include "core/Paths.hpp"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QStyle>

namespace stowage::gui {

namespace {

QString dateText(Timestamp t) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(secs), QLocale::ShortFormat);
}

Tint diffTint(FileDiff::Kind kind) {
    switch (kind) {
    case FileDiff::Kind::new_:
        return Tint::blue;
    case FileDiff::Kind::identical:
        return Tint::secondary;
    case FileDiff::Kind::modified:
        return Tint::orange;
    case FileDiff::Kind::binary:
        return Tint::purple;
    case FileDiff::Kind::directory:
        return Tint::secondary;
    }
    return Tint::secondary;
}

QString policyBlurb(ConflictPolicy p) {
    switch (p) {
    case ConflictPolicy::overwrite:
        return QStringLiteral("Replace files that already exist.");
    case ConflictPolicy::skip:
        return QStringLiteral("Keep existing files; only write missing ones.");
    case ConflictPolicy::writeBeside:
        return QStringLiteral("Never overwrite — save as <name>.stowage-restored.");
    }
    return {};
}

} // namespace

// ---- DiffRow ---------------------------------------------------------------------------------

DiffRow::DiffRow(const RestoreOutcome& outcome, QWidget* parent) : QWidget(parent) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 2, 0, 2);
    v->setSpacing(4);
    auto* head = new QHBoxLayout;
    head->setSpacing(6);
    const QString path = str(paths::abbreviateHome(outcome.writtenPath.value_or(outcome.originalPath)));
    auto* disclosure = new Disclosure(path, this);
    const bool hasLines = outcome.diff && !outcome.diff->hunks.empty();
    disclosure->setEnabled(hasLines);
    head->addWidget(disclosure);
    auto* p = new QLabel(path, this);
    p->setTextFormat(Qt::PlainText);
    p->setToolTip(str(outcome.originalPath));
    head->addWidget(p, 1);
    if (outcome.diff) {
        head->addWidget(new Capsule(str(toString(outcome.diff->kind)), diffTint(outcome.diff->kind), this));
        if (outcome.diff->added > 0 || outcome.diff->removed > 0) {
            auto* added = new QLabel(QStringLiteral("+%1").arg(outcome.diff->added), this);
            auto* removed = new QLabel(QStringLiteral("−%1").arg(outcome.diff->removed), this);
            QPalette ap = added->palette();
            ap.setColor(QPalette::WindowText, tintColor(Tint::green, ap));
            added->setPalette(ap);
            QPalette rp = removed->palette();
            rp.setColor(QPalette::WindowText, tintColor(Tint::red, rp));
            removed->setPalette(rp);
            added->setAccessibleName(tr("%1 lines added").arg(outcome.diff->added));
            removed->setAccessibleName(tr("%1 lines removed").arg(outcome.diff->removed));
            head->addWidget(added);
            head->addWidget(removed);
        }
    } else {
        head->addWidget(new Capsule(str(toString(outcome.action)), Tint::secondary, this));
    }
    v->addLayout(head);
    if (!hasLines)
        return;
    auto* lines = new QLabel(this);
    lines->setObjectName(QStringLiteral("diffLines"));
    lines->setTextFormat(Qt::RichText);
    lines->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lines->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QPalette pal = palette();
    QString html = QStringLiteral("<pre style=\"margin:0\">");
    for (const auto& raw : outcome.diff->hunks) {
        const QString line = str(raw);
        QColor c = withOpacity(pal.color(QPalette::WindowText), 0.7);
        if (line.startsWith(QLatin1Char('+')))
            c = tintColor(Tint::green, pal);
        else if (line.startsWith(QLatin1Char('-')))
            c = tintColor(Tint::red, pal);
        else if (line == QStringLiteral("…"))
            c = tintColor(Tint::secondary, pal);
        html +=
            QStringLiteral("<span style=\"color:%1\">%2</span>\n").arg(c.name(QColor::HexArgb), line.toHtmlEscaped());
    }
    if (html.endsWith(QLatin1Char('\n')))
        html.chop(1);
    html += QStringLiteral("</pre>");
    lines->setText(html);
    lines->setContentsMargins(28, 4, 0, 4);
    lines->setVisible(false);
    v->addWidget(lines);
    connect(disclosure, &QToolButton::clicked, this, [disclosure, lines] {
        disclosure->setExpanded(!disclosure->expanded());
        lines->setVisible(disclosure->expanded());
    });
}

// ---- RelocRow --------------------------------------------------------------------------------

RelocRow::RelocRow(AppModel& model, const RelocationPlan& plan, QWidget* parent) : QWidget(parent) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 4, 0, 4);
    v->setSpacing(3);
    const QString fileName = str(paths::lastComponent(plan.originalPath));
    auto* head = new QHBoxLayout;
    head->setSpacing(8);
    auto* name = new QLabel(fileName, this);
    name->setTextFormat(Qt::PlainText);
    name->setFont(scaledFont(name->font(), 0, QFont::DemiBold));
    name->setToolTip(str(plan.originalPath));
    head->addWidget(name);
    switch (plan.match) {
    case RelocationPlan::Match::matchedRepo:
        head->addWidget(new Capsule(tr("matched"), Tint::green, this, 0.18));
        break;
    case RelocationPlan::Match::repoNotFound:
        head->addWidget(new Capsule(tr("no repo here"), Tint::orange, this, 0.18));
        break;
    case RelocationPlan::Match::absolute:
        head->addWidget(new Capsule(tr("path"), Tint::secondary, this, 0.18));
        break;
    }
    if (plan.project) {
        auto* project = caption(str(paths::lastComponent(plan.project->repoRoot)), this);
        project->setWordWrap(false);
        head->addWidget(project);
    }
    head->addStretch(1);
    v->addLayout(head);

    const bool skipped = model.relocationSkip().count(plan.originalPath) > 0;
    const auto destination = model.plannedDestination(plan);
    auto* dest = new QLabel(this);
    dest->setTextFormat(Qt::PlainText);
    dest->setObjectName(QStringLiteral("destination"));
    if (skipped) {
        dest->setText(tr("— will be skipped —"));
        makeSecondary(dest);
    } else if (destination) {
        dest->setText(QStringLiteral("→ ") + str(paths::abbreviateHome(*destination)));
        dest->setToolTip(str(*destination));
    } else {
        dest->setText(tr("No location yet"));
        QPalette p = dest->palette();
        p.setColor(QPalette::WindowText, tintColor(Tint::orange, p));
        dest->setPalette(p);
    }
    dest->setWordWrap(true);
    v->addWidget(dest);

    const bool cloning = model.cloning().count(plan.originalPath) > 0;
    const bool canClone = plan.match == RelocationPlan::Match::repoNotFound && plan.project && plan.project->remote;
    if (canClone) {
        auto* hint = caption(QStringLiteral("git clone ") + str(*plan.project->remote), this);
        hint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        hint->setTextInteractionFlags(Qt::TextSelectableByMouse);
        v->addWidget(hint);
    }

    auto* actions = new QHBoxLayout;
    actions->setSpacing(6);
    auto* choose = new QPushButton(glyphIcon(Glyph::folder), tr("Choose Folder…"), this);
    choose->setAccessibleName(tr("Choose where to put %1").arg(fileName));
    actions->addWidget(choose);
    connect(choose, &QPushButton::clicked, this, [this, &model, plan, fileName] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Choose where to put ") + fileName,
                                                                 QDir::homePath(), QFileDialog::ShowDirsOnly);
        if (!folder.isEmpty())
            model.setRelocationFolder(plan, QDir(folder).absolutePath().toStdString());
    });
    if (canClone) {
        auto* clone = new QPushButton(cloning ? tr("Cloning…") : tr("Clone Here…"), this);
        clone->setEnabled(!cloning);
        const QString project = str(paths::lastComponent(plan.project->repoRoot));
        clone->setAccessibleName(tr("Clone %1 here").arg(project));
        actions->addWidget(clone);
        connect(clone, &QPushButton::clicked, this, [this, &model, plan, project] {
            const QString folder = QFileDialog::getExistingDirectory(this, tr("Choose where to clone ") + project,
                                                                     QDir::homePath(), QFileDialog::ShowDirsOnly);
            if (!folder.isEmpty())
                model.cloneAndPlace(plan, QDir(folder).absolutePath().toStdString());
        });
    }
    auto* skip = new QPushButton(skipped ? tr("Undo skip") : tr("Skip this file"), this);
    skip->setObjectName(QStringLiteral("skip"));
    actions->addWidget(skip);
    connect(skip, &QPushButton::clicked, this, [&model, plan] { model.toggleRelocationSkip(plan); });
    actions->addStretch(1);
    v->addLayout(actions);
}

// ---- RestorePane -----------------------------------------------------------------------------

RestorePane::RestorePane(AppModel& model, ModelSignals& changes, QWidget* parent) : Pane(model, changes, parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto* column = makeScrollColumn(outer);

    column->addWidget(caption(say("On a fresh Mac, point this at your backup folder and restore."), this));
    folder_ = new FolderField(tr("Backup folder"), this);
    folder_->onChosen = [this](const QString& p) {
        model_.setRestoreDir(p.toStdString());
        model_.loadManifest();
    };
    column->addWidget(folder_);
    auto* loadRow = new QHBoxLayout;
    load_ = new QPushButton(tr("Load backup details"), this);
    loadRow->addWidget(load_);
    loading_ = caption(tr("Loading…"), this);
    loadRow->addWidget(loading_);
    loadRow->addStretch(1);
    column->addLayout(loadRow);
    connect(load_, &QPushButton::clicked, this, [this] { model_.loadManifest(); });

    column->addWidget(new IconLine(
        Glyph::warning, Tint::orange,
        say("This writes files onto THIS Mac, overwriting existing ones. Intended for a fresh machine."), this));
    error_ = new IconLine(Glyph::octagon, Tint::red, QString(), this);
    error_->setObjectName(QStringLiteral("restoreError"));
    column->addWidget(error_);
    column->addWidget(new IconLine(Glyph::info, Tint::secondary,
                                   tr("Re-auth steps no tool can do (gh, gcloud, 2FA seeds) are listed in RESTORE.md."),
                                   this));

    // Everything below appears once a manifest is loaded.
    loaded_ = new QWidget(this);
    auto* lv = new QVBoxLayout(loaded_);
    lv->setContentsMargins(0, 0, 0, 0);
    lv->setSpacing(12);
    column->addWidget(loaded_);

    auto* summary = new Card(loaded_);
    summary->setObjectName(QStringLiteral("backupSummary"));
    backupFrom_ = new QLabel(summary);
    backupFrom_->setFont(scaledFont(backupFrom_->font(), 1, QFont::DemiBold));
    summary->body()->addWidget(backupFrom_);
    backupCounts_ = caption(QString(), summary);
    summary->body()->addWidget(backupCounts_);
    auto* historyHead = new QHBoxLayout;
    historyToggle_ = new Disclosure(tr("the backup history"), summary);
    historyHead->addWidget(historyToggle_);
    historyTitle_ = new QLabel(summary);
    historyHead->addWidget(historyTitle_, 1);
    summary->body()->addLayout(historyHead);
    historyBox_ = new QWidget(summary);
    historyList_ = new QVBoxLayout(historyBox_);
    historyList_->setContentsMargins(28, 0, 0, 0);
    historyList_->setSpacing(2);
    historyBox_->setVisible(false);
    summary->body()->addWidget(historyBox_);
    connect(historyToggle_, &QToolButton::clicked, this, [this] {
        historyToggle_->setExpanded(!historyToggle_->expanded());
        historyBox_->setVisible(historyToggle_->expanded());
    });
    lv->addWidget(summary);

    // What to restore.
    lv->addWidget(sectionHeading(tr("What to restore"), QString(), loaded_));
    auto* what = new Card(loaded_);
    auto group = [&](QCheckBox** box, const QString& text, QWidget** holder, QVBoxLayout** list) {
        *box = new QCheckBox(text, what);
        what->body()->addWidget(*box);
        *holder = new QWidget(what);
        *list = new QVBoxLayout(*holder);
        (*list)->setContentsMargins(26, 0, 0, 6);
        (*list)->setSpacing(2);
        what->body()->addWidget(*holder);
    };
    group(&configOn_, tr("Restore config files"), &configBox_, &configList_);
    group(&secretsOn_, tr("Restore secrets"), &secretBox_, &secretList_);
    group(&projectsOn_, tr("Restore project source"), &projectBox_, &projectList_);
    lv->addWidget(what);
    connect(configOn_, &QCheckBox::toggled, this, [this](bool on) { model_.setRestoreConfigOn(on); });
    connect(secretsOn_, &QCheckBox::toggled, this, [this](bool on) { model_.setRestoreSecretsOn(on); });
    connect(projectsOn_, &QCheckBox::toggled, this, [this](bool on) { model_.setRestoreProjectsOn(on); });

    // Key and policy.
    auto* how = new Card(loaded_);
    auto* keyLabel = new QLabel(tr("Passphrase or recovery code"), how);
    keyLabel->setFont(scaledFont(keyLabel->font(), 0, QFont::DemiBold));
    how->body()->addWidget(keyLabel);
    key_ = new QLineEdit(how);
    key_->setEchoMode(QLineEdit::Password);
    key_->setPlaceholderText(say("your backup passphrase, or the recovery code (blank = this Mac's Keychain)"));
    key_->setAccessibleName(tr("Passphrase or recovery code"));
    keyLabel->setBuddy(key_);
    how->body()->addWidget(key_);
    connect(key_, &QLineEdit::textEdited, this, [this](const QString& t) { model_.setRecoveryCode(t.toStdString()); });
    how->body()->addSpacing(8);
    auto* policyLabel = new QLabel(tr("If a file already exists"), how);
    policyLabel->setFont(scaledFont(policyLabel->font(), 0, QFont::DemiBold));
    how->body()->addWidget(policyLabel);
    auto* segRow = new QHBoxLayout;
    segRow->setSpacing(0);
    auto* segGroup = new QButtonGroup(this);
    for (ConflictPolicy p : allConflictPolicies()) {
        auto* b = new QPushButton(str(displayName(p)), how);
        b->setCheckable(true);
        b->setObjectName(QStringLiteral("segment"));
        segGroup->addButton(b);
        segRow->addWidget(b);
        policies_.push_back(b);
        connect(b, &QPushButton::clicked, this, [this, p] { model_.setConflictPolicy(p); });
    }
    segRow->addStretch(1);
    how->body()->addLayout(segRow);
    policyBlurb_ = caption(QString(), how);
    how->body()->addWidget(policyBlurb_);
    how->body()->addSpacing(6);
    snapshot_ = new QCheckBox(tr("Save replaced files first (undoable)"));
    how->body()->addWidget(toggleRow(
        snapshot_, tr("Copies anything overwritten into .stowage-overwritten inside the backup folder."), how));
    dryRun_ = new QCheckBox(tr("Dry run"));
    how->body()->addWidget(toggleRow(dryRun_, tr("preview what would be written, change nothing"), how));
    lv->addWidget(how);
    connect(snapshot_, &QCheckBox::toggled, this, [this](bool on) { model_.setSnapshotOverwrites(on); });
    connect(dryRun_, &QCheckBox::toggled, this, [this](bool on) { model_.setDryRun(on); });

    // Project secrets.
    relocSection_ = new QWidget(loaded_);
    {
        auto* v = new QVBoxLayout(relocSection_);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(6);
        v->addWidget(sectionHeading(tr("Project secrets — where should these go?"), QString(), relocSection_));
        auto* card = new Card(relocSection_);
        card->setObjectName(QStringLiteral("relocation"));
        auto* top = new QHBoxLayout;
        relocIntro_ = caption(QString(), card);
        top->addWidget(relocIntro_, 1);
        review_ = new QPushButton(tr("Review locations"), card);
        review_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        top->addStretch(0);
        top->addWidget(review_, 0, Qt::AlignTop);
        card->body()->addLayout(top);
        relocList_ = new QVBoxLayout;
        relocList_->setSpacing(4);
        card->body()->addLayout(relocList_);
        flatten_ = new QCheckBox(tr("Place at project root (not the original sub-folder)"), card);
        card->body()->addWidget(flatten_);
        unresolved_ = new QLabel(card);
        unresolved_->setWordWrap(true);
        {
            QPalette p = unresolved_->palette();
            p.setColor(QPalette::WindowText, tintColor(Tint::orange, p));
            unresolved_->setPalette(p);
        }
        card->body()->addWidget(unresolved_);
        v->addWidget(card);
    }
    lv->addWidget(relocSection_);
    connect(review_, &QPushButton::clicked, this, [this] { model_.planSecretRestore(); });
    connect(flatten_, &QCheckBox::toggled, this, [this](bool on) { model_.setFlattenToProjectRoot(on); });

    results_ = new QVBoxLayout;
    results_->setSpacing(8);
    lv->addLayout(results_);
    column->addStretch(1);

    // Action bar.
    auto* bar = new ActionBar(this);
    blockReason_ = new IconLine(Glyph::info, Tint::secondary, QString(), bar);
    blockReason_->setObjectName(QStringLiteral("restoreBlockReason"));
    bar->row()->addWidget(blockReason_, 1);
    stage_ = new QLabel(bar);
    stage_->setTextFormat(Qt::PlainText);
    makeSecondary(stage_);
    bar->row()->addWidget(stage_, 1);
    bar->row()->addStretch(1);
    busy_ = busyIndicator(tr("Restoring"), bar);
    bar->row()->addWidget(busy_);
    run_ = primaryButton(tr("Preview Restore"), bar);
    bar->row()->addWidget(run_);
    outer->addWidget(bar);
    connect(run_, &QPushButton::clicked, this, [this] {
        if (model_.restoring() || model_.restoreBlockReason())
            return;
        lastRunDry_ = model_.dryRun();
        model_.runRestore();
    });
    connect(key_, &QLineEdit::returnPressed, run_, &QPushButton::click);
    refresh();
}

void RestorePane::refresh() {
    folder_->setPath(str(model_.restoreDir()));
    loading_->setVisible(model_.loadingManifest());
    error_->setVisible(model_.restoreError().has_value());
    if (model_.restoreError())
        error_->setText(str(*model_.restoreError()));
    loaded_->setVisible(model_.loadedManifest().has_value());

    {
        const QSignalBlocker b1(configOn_), b2(secretsOn_), b3(projectsOn_), b4(snapshot_), b5(dryRun_), b6(flatten_);
        configOn_->setChecked(model_.restoreConfigOn());
        secretsOn_->setChecked(model_.restoreSecretsOn());
        projectsOn_->setChecked(model_.restoreProjectsOn());
        snapshot_->setChecked(model_.snapshotOverwrites());
        dryRun_->setChecked(model_.dryRun());
        flatten_->setChecked(model_.flattenToProjectRoot());
    }
    configBox_->setVisible(model_.restoreConfigOn());
    secretBox_->setVisible(model_.restoreSecretsOn());
    projectBox_->setVisible(model_.restoreProjectsOn());
    if (key_->text().toStdString() != model_.recoveryCode())
        key_->setText(str(model_.recoveryCode()));
    const auto& all = allConflictPolicies();
    for (std::size_t i = 0; i < all.size(); ++i)
        policies_[i]->setChecked(all[i] == model_.conflictPolicy());
    policyBlurb_->setText(policyBlurb(model_.conflictPolicy()));
    // Saved copies are made only when files are replaced.
    snapshot_->setEnabled(model_.conflictPolicy() == ConflictPolicy::overwrite);

    if (model_.loadedManifest()) {
        rebuildManifest();
        rebuildSelection();
        rebuildRelocation();
    }
    rebuildResults();

    const auto reason = model_.restoreBlockReason();
    const bool running = model_.restoring();
    blockReason_->setVisible(reason.has_value() && !running);
    if (reason)
        blockReason_->setText(str(*reason));
    stage_->setVisible(running);
    stage_->setText(str(model_.restoreStage()));
    busy_->setVisible(running);
    run_->setText(running ? tr("Restoring…") : model_.dryRun() ? tr("Preview Restore") : tr("Restore Now"));
    run_->setEnabled(!running && !reason);
}

void RestorePane::rebuildManifest() {
    const BackupManifest& m = *model_.loadedManifest();
    QString sig = QString::number(m.createdAt.time_since_epoch().count()) + QString::number(model_.history().size());
    if (sig == manifestSig_)
        return;
    manifestSig_ = sig;
    backupFrom_->setText(tr("Backup from ") + dateText(m.createdAt));
    backupCounts_->setText(QStringLiteral("%1 config · %2 secrets").arg(m.configs.size()).arg(m.secretPaths.size()));
    historyTitle_->setText(QStringLiteral("Backup history (%1)").arg(model_.history().size()));
    clearLayout(historyList_);
    for (const auto& run : model_.history()) {
        QString line = dateText(run.createdAt) + QStringLiteral(" — %1 config · %2 secrets · %3 manifests · %4")
                                                     .arg(run.configCount)
                                                     .arg(run.secretCount)
                                                     .arg(run.manifestCount)
                                                     .arg(fileSize(run.totalBytes));
        if (run.usedPassphrase)
            line += tr(" · passphrase");
        historyList_->addWidget(caption(line, historyBox_));
    }
}

void RestorePane::rebuildSelection() {
    const BackupManifest& m = *model_.loadedManifest();
    QString sig = manifestSig_;
    for (const auto& s :
         {model_.selectedRestoreConfig(), model_.selectedRestoreSecrets(), model_.selectedRestoreProjects()})
        sig += QLatin1Char('|') + QString::number(s.size()) + str(s.empty() ? std::string() : *s.begin());
    for (const auto& p : model_.selectedRestoreConfig())
        sig += str(p);
    for (const auto& p : model_.selectedRestoreSecrets())
        sig += str(p);
    for (const auto& p : model_.selectedRestoreProjects())
        sig += str(p);
    if (sig == selectionSig_)
        return;
    selectionSig_ = sig;
    auto fill = [this](QVBoxLayout* list, QWidget* holder, const std::vector<std::string>& items,
                       const std::set<std::string>& chosen, void (AppModel::*toggle)(const std::string&)) {
        clearLayout(list);
        for (const auto& item : items) {
            auto* box = new CheckBox(str(paths::abbreviateHome(item)), holder);
            box->setToolTip(str(item));
            box->setSelectionState(chosen.count(item) ? Qt::Checked : Qt::Unchecked);
            connect(box, &CheckBox::activated, this, [this, item, toggle] { (model_.*toggle)(item); });
            list->addWidget(box);
        }
        if (items.empty())
            list->addWidget(caption(tr("Nothing of this kind in the backup."), holder));
    };
    std::vector<std::string> configs, projects;
    for (const auto& c : m.configs)
        configs.push_back(c.originalPath);
    if (m.projects)
        for (const auto& p : *m.projects)
            projects.push_back(p.originalPath);
    fill(configList_, configBox_, configs, model_.selectedRestoreConfig(), &AppModel::toggleRestoreConfig);
    fill(secretList_, secretBox_, m.secretPaths, model_.selectedRestoreSecrets(), &AppModel::toggleRestoreSecret);
    fill(projectList_, projectBox_, projects, model_.selectedRestoreProjects(), &AppModel::toggleRestoreProject);
    projectsOn_->setText(QStringLiteral("Restore project source (%1)").arg(projects.size()));
}

void RestorePane::rebuildRelocation() {
    const BackupManifest& m = *model_.loadedManifest();
    relocSection_->setVisible(m.hasSecrets && model_.restoreSecretsOn());
    const auto plans = model_.projectSecretPlans();
    const bool planned = !model_.relocationPlan().empty();
    QString sig =
        QString::number(planned) + QString::number(model_.planning()) + QString::number(model_.flattenToProjectRoot());
    for (const auto& p : plans) {
        sig += str(p.originalPath) + str(model_.plannedDestination(p).value_or("-")) +
               QString::number(model_.cloning().count(p.originalPath)) +
               QString::number(model_.relocationSkip().count(p.originalPath));
    }
    review_->setText(model_.planning() ? tr("Reviewing…") : planned ? tr("Re-check") : tr("Review locations"));
    review_->setEnabled(!model_.planning());
    const int unresolved = model_.unresolvedProjectSecrets();
    unresolved_->setVisible(planned && unresolved > 0);
    unresolved_->setText(
        QStringLiteral("%1 file(s) need a location — choose one, or they'll be skipped.").arg(unresolved));
    flatten_->setVisible(planned && !plans.empty());
    if (sig == relocSig_)
        return;
    relocSig_ = sig;
    clearLayout(relocList_);
    if (!planned) {
        relocIntro_->setText(say("Enter your passphrase, then Review to match each .env to its project on this Mac."));
        relocIntro_->setVisible(true);
        return;
    }
    if (plans.empty()) {
        relocIntro_->setText(tr("No project-scoped secrets in this backup — nothing to place."));
        relocIntro_->setVisible(true);
        return;
    }
    relocIntro_->setVisible(false);
    for (const auto& p : plans)
        relocList_->addWidget(new RelocRow(model_, p, relocSection_));
}

void RestorePane::rebuildResults() {
    const auto& outcomes = model_.restoreOutcomes();
    const auto& report = model_.restoreReport();
    QString sig = QString::number(outcomes.size()) + QLatin1Char('/') + QString::number(report ? report->size() : -1);
    if (report)
        for (const auto& l : *report)
            sig += str(l);
    for (const auto& o : outcomes)
        sig += str(o.originalPath);
    if (sig == resultsSig_)
        return;
    resultsSig_ = sig;
    clearLayout(results_);

    bool anyDiff = false;
    for (const auto& o : outcomes)
        anyDiff = anyDiff || o.diff.has_value();
    if (!outcomes.empty() && (lastRunDry_ || anyDiff)) {
        int changed = 0, unchanged = 0;
        for (const auto& o : outcomes)
            (o.diff && o.diff->kind == FileDiff::Kind::identical) ? ++unchanged : ++changed;
        auto* card = new Card(this);
        card->setObjectName(QStringLiteral("changesPreview"));
        auto* title = new QLabel(tr("Changes preview"), card);
        title->setFont(scaledFont(title->font(), 2, QFont::DemiBold));
        card->body()->addWidget(title);
        card->body()->addWidget(caption(QStringLiteral("%1 changed · %2 unchanged").arg(changed).arg(unchanged), card));
        if (changed == 0) {
            card->body()->addWidget(new IconLine(
                Glyph::seal, Tint::green, tr("Everything already matches — restore would change nothing."), card));
        } else {
            for (const auto& o : outcomes)
                if (!(o.diff && o.diff->kind == FileDiff::Kind::identical))
                    card->body()->addWidget(new DiffRow(o, card));
        }
        results_->addWidget(card);
    }
    if (report) {
        auto* card = new Card(this, Tint::green);
        card->setObjectName(QStringLiteral("restoreReport"));
        for (const auto& line : *report)
            card->body()->addWidget(new IconLine(Glyph::checkCircle, Tint::green, str(line), card));
        results_->addWidget(card);
    }
}

} // namespace stowage::gui
