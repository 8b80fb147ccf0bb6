#include "gui/BackupView.hpp"

#include "core/Paths.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QUrl>

namespace stowage::gui {

namespace {

Qt::CheckState checkState(SelectionState s) {
    switch (s) {
    case SelectionState::all:
        return Qt::Checked;
    case SelectionState::some:
        return Qt::PartiallyChecked;
    case SelectionState::none:
        return Qt::Unchecked;
    }
    return Qt::Unchecked;
}

} // namespace

// ---- StrengthBar -----------------------------------------------------------------------------

StrengthBar::StrengthBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(tr("Passphrase strength"));
}

void StrengthBar::setScore(int score, const QString& label) {
    if (score == score_ && label == label_)
        return;
    score_ = score;
    label_ = label;
    setAccessibleDescription(label);
    update();
}

QSize StrengthBar::sizeHint() const {
    return {240, QFontMetrics(font()).height() + 2};
}

void StrengthBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics fm(font());
    const int labelWidth = std::max(fm.horizontalAdvance(QStringLiteral("Strong")), fm.horizontalAdvance(label_)) + 8;
    const int segments = 4; // PassphraseStrength scores run from 0 to 4
    const double gap = 4;
    const double barWidth = width() - labelWidth - 8;
    const double segWidth = (barWidth - gap * (segments - 1)) / segments;
    const double y = (height() - 4) / 2.0;
    const Tint tint = score_ < 2 ? Tint::red : score_ == 2 ? Tint::orange : score_ == 3 ? Tint::yellow : Tint::green;
    for (int i = 0; i < segments; ++i) {
        const QColor c =
            i < score_ ? tintColor(tint, palette()) : withOpacity(tintColor(Tint::secondary, palette()), 0.2);
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawRoundedRect(QRectF(i * (segWidth + gap), y, segWidth, 4), 2, 2);
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRectF(width() - labelWidth, 0, labelWidth, height()), Qt::AlignVCenter | Qt::AlignRight, label_);
}

// ---- SelectableFindingRow --------------------------------------------------------------------

SelectableFindingRow::SelectableFindingRow(AppModel& model, const Finding& finding, bool expanded, QWidget* parent)
    : QWidget(parent), model_(model), ruleId_(str(finding.rule.id)) {
    for (const auto& p : finding.paths)
        paths_.push_back(p.path);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(2);
    auto* head = new QHBoxLayout;
    head->setSpacing(6);
    const QString title = str(finding.rule.title);
    box_ = new CheckBox(QString(), this);
    box_->setAccessibleName(title);
    head->addWidget(box_);
    auto* disclosure = new Disclosure(title, this);
    disclosure->setExpanded(expanded);
    head->addWidget(disclosure);
    auto* titleLabel = new QLabel(title, this);
    titleLabel->setTextFormat(Qt::PlainText);
    head->addWidget(titleLabel);
    if (finding.isUnbackedConfigGap()) {
        auto* warn = new QLabel(this);
        const int side = QFontMetrics(font()).height();
        warn->setPixmap(glyphIcon(Glyph::warning, tintColor(Tint::orange, palette())).pixmap(side, side));
        warn->setToolTip(tr("Not in any git repository"));
        warn->setAccessibleName(warn->toolTip());
        head->addWidget(warn);
    }
    auto* count = new QLabel(QStringLiteral("%1").arg(paths_.size()), this);
    makeSecondary(count);
    count->setToolTip(tr("%n path(s)", nullptr, static_cast<int>(paths_.size())));
    head->addWidget(count);
    head->addStretch(1);
    v->addLayout(head);

    auto* pathsBox = new QWidget(this);
    auto* pv = new QVBoxLayout(pathsBox);
    pv->setContentsMargins(52, 0, 0, 4);
    pv->setSpacing(2);
    for (const auto& p : finding.paths) {
        auto* line = new QHBoxLayout;
        auto* pb = new CheckBox(QString(), pathsBox);
        const QString shown = str(paths::abbreviateHome(p.path));
        pb->setAccessibleName(shown);
        line->addWidget(pb);
        auto* folder = new QLabel(pathsBox);
        const int side = QFontMetrics(font()).height();
        folder->setPixmap(glyphIcon(Glyph::folder, tintColor(Tint::secondary, palette())).pixmap(side, side));
        line->addWidget(folder);
        auto* text = new QLabel(shown, pathsBox);
        text->setTextFormat(Qt::PlainText);
        text->setToolTip(str(p.path));
        line->addWidget(text, 1);
        pv->addLayout(line);
        pathBoxes_.emplace_back(pb, p.path);
        connect(pb, &CheckBox::activated, this, [this, path = p.path] { model_.toggle(path); });
    }
    pathsBox->setVisible(expanded);
    v->addWidget(pathsBox);
    connect(disclosure, &QToolButton::clicked, this, [this, disclosure, pathsBox] {
        const bool on = !disclosure->expanded();
        disclosure->setExpanded(on);
        pathsBox->setVisible(on);
        emit expandedChanged(on);
    });
    connect(box_, &CheckBox::activated, this, [this] {
        // A partly or fully selected finding is cleared; an unselected one is selected whole.
        model_.setPathsSelected(paths_, model_.state(paths_) == SelectionState::none);
    });
    sync();
}

void SelectableFindingRow::sync() {
    box_->setSelectionState(checkState(model_.state(paths_)));
    for (auto& [box, path] : pathBoxes_)
        box->setSelectionState(model_.selected().count(path) ? Qt::Checked : Qt::Unchecked);
}

// ---- BackupPane ------------------------------------------------------------------------------

BackupPane::BackupPane(AppModel& model, ModelSignals& changes, QWidget* parent) : Pane(model, changes, parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto* column = makeScrollColumn(outer);

    column->addWidget(caption(tr("Pick exactly what to capture — an encrypted secrets archive, your config files, and "
                                 "reproducible manifests, bundled into one folder."),
                              this));

    resultHost_ = new QVBoxLayout;
    resultHost_->setSpacing(12);
    column->addLayout(resultHost_);

    folder_ = new FolderField(tr("Backup folder"), this);
    folder_->onChosen = [this](const QString& path) { model_.setBackupDir(path.toStdString()); };
    column->addWidget(folder_);
    error_ = new IconLine(Glyph::octagon, Tint::red, QString(), this);
    error_->setObjectName(QStringLiteral("backupError"));
    column->addWidget(error_);

    // Selection.
    auto* selectionHead = new QHBoxLayout;
    selectionHead->addWidget(sectionHeading(tr("Files to back up"), QString(), this), 1);
    auto* all = new QPushButton(tr("All"), this);
    all->setToolTip(tr("Select every file Stowage found"));
    auto* none = new QPushButton(tr("None"), this);
    none->setToolTip(tr("Clear the selection"));
    selectionHead->addWidget(all, 0, Qt::AlignBottom);
    selectionHead->addWidget(none, 0, Qt::AlignBottom);
    column->addLayout(selectionHead);
    countLine_ = caption(QString(), this);
    countLine_->setObjectName(QStringLiteral("selectionCount"));
    column->addWidget(countLine_);
    scanningLine_ = new QWidget(this);
    {
        auto* h = new QHBoxLayout(scanningLine_);
        h->setContentsMargins(0, 0, 0, 0);
        auto* bar = new QProgressBar(scanningLine_);
        bar->setRange(0, 0);
        bar->setMaximumWidth(80);
        bar->setMaximumHeight(8);
        bar->setTextVisible(false);
        h->addWidget(bar);
        h->addWidget(caption(tr("Scanning…"), scanningLine_), 1);
    }
    column->addWidget(scanningLine_);
    tiers_ = new QVBoxLayout;
    tiers_->setSpacing(10);
    column->addLayout(tiers_);
    connect(all, &QPushButton::clicked, this, [this] { model_.selectAll(); });
    connect(none, &QPushButton::clicked, this, [this] { model_.setSelected({}); });

    // Manifests and restorer.
    auto* options = new Card(this);
    manifests_ = new QCheckBox(tr("Manifests"));
    options->body()->addWidget(
        toggleRow(manifests_, tr("Brewfile, app & package lists (regenerated, not files)"), options));
    restorer_ = new QCheckBox(tr("Include one-click restorer"));
    options->body()->addWidget(toggleRow(
        restorer_,
        say("Bundles the Stowage app into the backup, so a fresh Mac can restore by double-clicking it — no install "
            "needed."),
        options));
    column->addWidget(options);
    connect(manifests_, &QCheckBox::toggled, this, [this](bool on) { model_.setIncludeManifests(on); });
    connect(restorer_, &QCheckBox::toggled, this, [this](bool on) { model_.setIncludeRestorer(on); });

    // Projects.
    projectsSection_ = new QWidget(this);
    {
        auto* v = new QVBoxLayout(projectsSection_);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(6);
        v->addWidget(sectionHeading(tr("Projects not safely in git"),
                                    tr("No remote to re-clone from, so the source itself is at risk. Build artifacts "
                                       "(node_modules, build, …) are skipped."),
                                    projectsSection_));
        auto* card = new Card(projectsSection_);
        projectList_ = new QVBoxLayout;
        projectList_->setSpacing(4);
        card->body()->addLayout(projectList_);
        gitHistory_ = new QCheckBox(tr("Include git history (.git) for no-remote repos"));
        card->body()->addWidget(toggleRow(
            gitHistory_, tr("Keeps each project's local commit history. Off keeps just the working files."), card));
        v->addWidget(card);
    }
    column->addWidget(projectsSection_);
    connect(gitHistory_, &QCheckBox::toggled, this, [this](bool on) { model_.setIncludeProjectGitHistory(on); });

    // Encryption.
    column->addWidget(sectionHeading(tr("Encrypt your secrets"), QString(), this));
    secretCount_ = caption(QString(), this);
    column->addWidget(secretCount_);
    auto* enc = new Card(this);
    usePassphrase_ = new QCheckBox(tr("Protect secrets with a passphrase"));
    enc->body()->addWidget(toggleRow(usePassphrase_, QString(), enc, &passphraseSubtitle_));
    passphraseBox_ = new QWidget(enc);
    {
        auto* v = new QVBoxLayout(passphraseBox_);
        v->setContentsMargins(0, 6, 0, 0);
        v->setSpacing(6);
        auto* l1 = new QLabel(tr("Passphrase"), passphraseBox_);
        passphrase_ = new QLineEdit(passphraseBox_);
        passphrase_->setEchoMode(QLineEdit::Password);
        passphrase_->setAccessibleName(tr("Passphrase"));
        l1->setBuddy(passphrase_);
        v->addWidget(l1);
        v->addWidget(passphrase_);
        strength_ = new StrengthBar(passphraseBox_);
        v->addWidget(strength_);
        auto* l2 = new QLabel(tr("Confirm passphrase"), passphraseBox_);
        confirm_ = new QLineEdit(passphraseBox_);
        confirm_->setEchoMode(QLineEdit::Password);
        confirm_->setAccessibleName(tr("Confirm passphrase"));
        l2->setBuddy(confirm_);
        v->addWidget(l2);
        v->addWidget(confirm_);
        mismatch_ = new QLabel(tr("Passphrases don't match"), passphraseBox_);
        mismatch_->setObjectName(QStringLiteral("mismatch"));
        {
            QPalette p = mismatch_->palette();
            p.setColor(QPalette::WindowText, tintColor(Tint::red, p));
            mismatch_->setPalette(p);
        }
        v->addWidget(mismatch_);
        v->addWidget(caption(tr("If you forget this passphrase, the secrets are gone for good — there's no reset."),
                             passphraseBox_));
    }
    enc->body()->addWidget(passphraseBox_);
    column->addWidget(enc);
    column->addStretch(1);
    connect(usePassphrase_, &QCheckBox::toggled, this, [this](bool on) { model_.setUsePassphrase(on); });
    connect(passphrase_, &QLineEdit::textEdited, this,
            [this](const QString& t) { model_.setPassphrase(t.toStdString()); });
    connect(confirm_, &QLineEdit::textEdited, this,
            [this](const QString& t) { model_.setPassphraseConfirm(t.toStdString()); });

    // Action bar.
    auto* bar = new ActionBar(this);
    blockReason_ = new IconLine(Glyph::info, Tint::secondary, QString(), bar);
    blockReason_->setObjectName(QStringLiteral("blockReason"));
    bar->row()->addWidget(blockReason_, 1);
    stage_ = new QLabel(bar);
    stage_->setObjectName(QStringLiteral("backupStage"));
    makeSecondary(stage_);
    stage_->setTextFormat(Qt::PlainText);
    bar->row()->addWidget(stage_, 1);
    bar->row()->addStretch(1);
    busy_ = busyIndicator(tr("Backing up"), bar);
    bar->row()->addWidget(busy_);
    backUp_ = primaryButton(tr("Back Up Now"), bar);
    bar->row()->addWidget(backUp_);
    outer->addWidget(bar);
    connect(backUp_, &QPushButton::clicked, this, [this] {
        if (model_.canBackUp() && !model_.backingUp())
            model_.runBackup();
    });
    connect(passphrase_, &QLineEdit::returnPressed, backUp_, &QPushButton::click);
    connect(confirm_, &QLineEdit::returnPressed, backUp_, &QPushButton::click);
    refresh();
}

void BackupPane::showEvent(QShowEvent* event) {
    Pane::showEvent(event);
    model_.scanProjects();
}

void BackupPane::refresh() {
    folder_->setPath(str(model_.backupDir()));
    error_->setVisible(model_.backupError().has_value());
    if (model_.backupError())
        error_->setText(str(*model_.backupError()));

    const bool scanning = model_.scanning();
    scanningLine_->setVisible(scanning);
    countLine_->setVisible(!scanning);
    countLine_->setText(QStringLiteral("%1 of %2 selected · %3")
                            .arg(model_.selectedCount())
                            .arg(model_.selectableCount())
                            .arg(fileSize(model_.selectedBytes())));

    {
        const QSignalBlocker b1(manifests_), b2(restorer_), b3(gitHistory_), b4(usePassphrase_);
        manifests_->setChecked(model_.includeManifests());
        restorer_->setChecked(model_.includeRestorer());
        gitHistory_->setChecked(model_.includeProjectGitHistory());
        usePassphrase_->setChecked(model_.usePassphrase());
    }
    if (passphrase_->text().toStdString() != model_.passphrase())
        passphrase_->setText(str(model_.passphrase()));
    if (confirm_->text().toStdString() != model_.passphraseConfirm())
        confirm_->setText(str(model_.passphraseConfirm()));
    passphraseSubtitle_->setText(
        model_.usePassphrase()
            ? say("Portable — restore on any Mac with this passphrase. No recovery code.")
            : say("A random key is generated; you'll get a recovery code and a copy in this Mac's Keychain."));
    passphraseBox_->setVisible(model_.usePassphrase());
    strength_->setScore(model_.passphraseScore(), str(model_.passphraseLabel()));
    // The mismatch warning waits until something has been typed into the confirmation.
    mismatch_->setVisible(!model_.passphraseConfirm().empty() && model_.passphrase() != model_.passphraseConfirm());
    secretCount_->setText(
        QStringLiteral("%1 secret file(s) selected — set how they're protected.").arg(model_.selectedSecretCount()));

    // Selection lists.
    QString sig;
    if (model_.inventory())
        sig = QString::number(model_.inventory()->scannedAt.time_since_epoch().count()) + QLatin1Char('/') +
              QString::number(model_.inventory()->findings.size());
    if (sig != selectionSignature_) {
        selectionSignature_ = sig;
        rebuildSelection();
    } else {
        syncChecks();
    }

    QString psig;
    for (const auto& p : model_.atRiskProjects())
        psig += str(p.path) + (model_.selectedProjectSources().count(p.path) ? QLatin1Char('+') : QLatin1Char('-'));
    psig += QString::number(model_.scanningProjects());
    if (psig != projectSignature_) {
        projectSignature_ = psig;
        rebuildProjects();
    }

    // Result and recovery code.
    const bool hasResult = model_.backupResult().has_value();
    if (hasResult != resultShown_ || changedSince(AppModel::Property::backupResult)) {
        resultShown_ = hasResult;
        rebuildResult();
    }

    // Action bar.
    const auto reason = model_.backupBlockReason();
    blockReason_->setVisible(reason.has_value() && !model_.backingUp());
    if (reason)
        blockReason_->setText(str(*reason));
    const bool running = model_.backingUp();
    stage_->setVisible(running);
    stage_->setText(str(model_.backupStage()));
    busy_->setVisible(running);
    backUp_->setText(running ? tr("Backing up…") : tr("Back Up Now"));
    backUp_->setEnabled(model_.canBackUp() && !running);
}

void BackupPane::syncChecks() {
    for (auto& [box, tier] : tierBoxes_)
        box->setSelectionState(checkState(model_.state(model_.tierPaths(tier))));
    for (auto* row : rows_)
        row->sync();
}

void BackupPane::rebuildSelection() {
    clearLayout(tiers_);
    tierBoxes_.clear();
    rows_.clear();
    if (!model_.inventory())
        return;
    const Inventory& inv = *model_.inventory();
    for (Tier tier : Inventory::selectableTiers()) {
        const auto findings = inv.findingsIn(tier);
        if (findings.empty())
            continue;
        auto* card = new Card(this);
        card->setObjectName(QStringLiteral("select-") + str(toString(tier)));
        const QString name = tier == Tier::secret ? QStringLiteral("Secrets") : QStringLiteral("Config");
        auto* tierBox = new CheckBox(name, card);
        tierBox->setFont(scaledFont(tierBox->font(), 1, QFont::DemiBold));
        tierBox->setAccessibleName(name + QStringLiteral(", select all"));
        card->body()->addWidget(tierBox);
        tierBoxes_.emplace_back(tierBox, tier);
        connect(tierBox, &CheckBox::activated, this, [this, tier] {
            const auto paths = model_.tierPaths(tier);
            model_.setPathsSelected(paths, model_.state(paths) == SelectionState::none);
        });
        for (const auto& f : findings) {
            auto* row = new SelectableFindingRow(model_, f, expanded_.contains(str(f.rule.id)), card);
            connect(row, &SelectableFindingRow::expandedChanged, this, [this, id = row->ruleId()](bool on) {
                if (on)
                    expanded_.insert(id);
                else
                    expanded_.remove(id);
            });
            rows_.push_back(row);
            card->body()->addWidget(row);
        }
        tiers_->addWidget(card);
    }
    syncChecks();
}

void BackupPane::rebuildProjects() {
    clearLayout(projectList_);
    const auto projects = model_.atRiskProjects();
    projectsSection_->setVisible(!projects.empty() || model_.scanningProjects());
    if (projects.empty() && model_.scanningProjects()) {
        projectList_->addWidget(caption(tr("Looking for projects…"), this));
        return;
    }
    for (const auto& p : projects) {
        auto* row = new QHBoxLayout;
        auto* box = new CheckBox(str(p.name), this);
        box->setSelectionState(model_.selectedProjectSources().count(p.path) ? Qt::Checked : Qt::Unchecked);
        box->setToolTip(str(p.path));
        row->addWidget(box);
        row->addWidget(
            new Capsule(str(label(p.kind)), p.kind == ProjectKind::nonGit ? Tint::orange : Tint::yellow, this));
        auto* path = caption(str(paths::abbreviateHome(p.path)), this);
        path->setWordWrap(false);
        row->addWidget(path, 1);
        projectList_->addLayout(row);
        connect(box, &CheckBox::activated, this, [this, path = p.path] { model_.toggleProjectSource(path); });
    }
}

void BackupPane::rebuildResult() {
    clearLayout(resultHost_);
    if (!model_.backupResult())
        return;
    const BackupResult& r = *model_.backupResult();
    auto* card = new Card(this, Tint::green);
    card->setObjectName(QStringLiteral("backupResult"));
    auto* title = new QHBoxLayout;
    auto* check = new QLabel(card);
    const int side = QFontMetrics(font()).height() + 4;
    check->setPixmap(glyphIcon(Glyph::checkCircle, tintColor(Tint::green, palette())).pixmap(side, side));
    title->addWidget(check);
    auto* heading = new QLabel(tr("Backup complete"), card);
    heading->setFont(scaledFont(heading->font(), 2, QFont::DemiBold));
    title->addWidget(heading, 1);
    card->body()->addLayout(title);

    auto* counts = new QHBoxLayout;
    counts->setSpacing(24);
    auto count = [&](qint64 n, const QString& what) {
        auto* v = new QVBoxLayout;
        v->setSpacing(0);
        auto* num = new QLabel(QString::number(n), card);
        num->setFont(scaledFont(num->font(), 6, QFont::Bold));
        v->addWidget(num);
        v->addWidget(caption(what, card));
        counts->addLayout(v);
    };
    count(static_cast<qint64>(r.capturedSecrets.size()), QStringLiteral("secrets"));
    count(static_cast<qint64>(r.configFiles.size()), QStringLiteral("config"));
    count(static_cast<qint64>(r.manifests.size()), QStringLiteral("manifests"));
    count(r.installedApps, QStringLiteral("apps"));
    counts->addStretch(1);
    card->body()->addLayout(counts);
    if (r.usedPassphrase)
        card->body()->addWidget(wrapLabel(
            tr("Secrets encrypted with your passphrase. You'll need it to restore — there's no recovery code."), card));
    if (!r.skippedSecrets.empty())
        card->body()->addWidget(new IconLine(
            Glyph::warning, Tint::orange,
            QStringLiteral("%1 secret file(s) were unreadable and skipped.").arg(r.skippedSecrets.size()), card));
    if (r.manualApps > 0)
        card->body()->addWidget(new IconLine(
            Glyph::info, Tint::secondary,
            QStringLiteral("%1 app(s) aren't in Homebrew or the App Store — open Apps to see how to reinstall them.")
                .arg(r.manualApps),
            card));
    for (const auto& w : r.warnings)
        card->body()->addWidget(new IconLine(Glyph::warning, Tint::orange, str(w), card));
    auto* buttons = new QHBoxLayout;
    auto* reveal = new QPushButton(glyphIcon(Glyph::folder), say("Reveal in Finder"), card);
    auto* guide = new QPushButton(glyphIcon(Glyph::external), tr("Open RESTORE.md"), card);
    buttons->addWidget(reveal);
    buttons->addWidget(guide);
    buttons->addStretch(1);
    card->body()->addLayout(buttons);
    const QString dir = str(r.outputDir);
    connect(reveal, &QPushButton::clicked, this, [dir] { revealInFileManager(dir); });
    connect(guide, &QPushButton::clicked, this,
            [dir] { QDesktopServices::openUrl(QUrl::fromLocalFile(dir + QStringLiteral("/RESTORE.md"))); });
    resultHost_->addWidget(card);

    if (r.recoveryCode) {
        auto* code = new Card(this, Tint::orange);
        code->setObjectName(QStringLiteral("recoveryCard"));
        auto* t = new QHBoxLayout;
        auto* keyIcon = new QLabel(code);
        keyIcon->setPixmap(glyphIcon(Glyph::key, tintColor(Tint::orange, palette())).pixmap(side, side));
        t->addWidget(keyIcon);
        auto* h = new QLabel(tr("Recovery code — save it now"), code);
        h->setFont(scaledFont(h->font(), 2, QFont::DemiBold));
        t->addWidget(h, 1);
        code->body()->addLayout(t);
        code->body()->addWidget(
            wrapLabel(say("Your only way to decrypt the secrets after a wipe. ") +
                          (r.keyStoredInKeychain ? say("A copy is in this Mac's Keychain (same-machine only).")
                                                 : say("Keychain copy could NOT be saved.")),
                      code));
        auto* text = new QLabel(str(*r.recoveryCode), code);
        text->setObjectName(QStringLiteral("recoveryCode"));
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        mono.setPointSizeF(font().pointSizeF() + 1);
        text->setFont(mono);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        text->setFocusPolicy(Qt::StrongFocus);
        text->setWordWrap(true);
        text->setAccessibleName(tr("Recovery code"));
        code->body()->addWidget(text);
        const QString value = str(*r.recoveryCode);
        auto* copy = new CopyButton(
            tr("Copy recovery code"), [value] { return value; }, code);
        copy->setObjectName(QStringLiteral("copyRecoveryCode"));
        code->body()->addWidget(copy, 0, Qt::AlignLeft);
        resultHost_->addWidget(code);
    }
    if (scroll_)
        scroll_->verticalScrollBar()->setValue(0);
}

} // namespace stowage::gui
