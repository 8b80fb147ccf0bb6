#include "gui/AuditView.hpp"

#include "core/Paths.hpp"

#include <QBoxLayout>
#include <QDesktopServices>
#include <QLineEdit>
#include <QProgressBar>
#include <QStackedWidget>
#include <QUrl>

namespace stowage::gui {

namespace {

Tint riskTint(Risk risk) {
    switch (risk) {
    case Risk::low:
        return Tint::secondary;
    case Risk::medium:
        return Tint::blue;
    case Risk::high:
        return Tint::orange;
    case Risk::critical:
        return Tint::red;
    }
    return Tint::secondary;
}

QString riskText(Risk risk) {
    switch (risk) {
    case Risk::low:
        return QStringLiteral("Low");
    case Risk::medium:
        return QStringLiteral("Medium");
    case Risk::high:
        return QStringLiteral("High");
    case Risk::critical:
        return QStringLiteral("Critical");
    }
    return {};
}

QString itemCount(std::size_t n) {
    return QStringLiteral(" · %1 item%2").arg(n).arg(n == 1 ? QString() : QStringLiteral("s"));
}

QLabel* glyphLabel(Glyph glyph, Tint tint, QWidget* parent, const QString& help = {}) {
    auto* l = new QLabel(parent);
    const int side = QFontMetrics(l->font()).height();
    l->setPixmap(glyphIcon(glyph, tintColor(tint, parent->palette())).pixmap(QSize(side, side)));
    if (!help.isEmpty()) {
        l->setToolTip(help);
        l->setAccessibleName(help);
    }
    return l;
}

QString tierTitle(Tier tier) {
    switch (tier) {
    case Tier::secret:
        return QStringLiteral("Secrets");
    case Tier::config:
        return QStringLiteral("Config");
    case Tier::reproducible:
        return QStringLiteral("Reproducible");
    }
    return {};
}

QString tierSubtitle(Tier tier) {
    switch (tier) {
    case Tier::secret:
        return QStringLiteral("Irreplaceable or painful to reissue — back up encrypted, never plain git.");
    case Tier::config:
        return QStringLiteral("Reproducible but tedious — belongs in a private dotfiles repo.");
    case Tier::reproducible:
        return QStringLiteral("Just a manifest — regenerate from a lockfile.");
    }
    return {};
}

} // namespace

RiskBadge::RiskBadge(Risk risk, QWidget* parent) : Capsule(riskText(risk), riskTint(risk), parent) {
    setAccessibleName(QStringLiteral("Risk: %1").arg(riskText(risk)));
}

PathRow::PathRow(const FoundPath& path, QWidget* parent) : QWidget(parent) {
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(28, 0, 0, 0);
    h->setSpacing(8);
    h->addWidget(glyphLabel(Glyph::folder, Tint::secondary, this));
    auto* text = wrapLabel(QString::fromStdString(paths::abbreviateHome(path.path)), this);
    text->setToolTip(QString::fromStdString(path.path));
    h->addWidget(text, 1);
    switch (path.tracking.kind) {
    case GitTracking::Case::tracked:
        h->addWidget(new Capsule(QStringLiteral("in repo"), Tint::green, this));
        break;
    case GitTracking::Case::untracked:
        h->addWidget(new Capsule(QStringLiteral("untracked"), Tint::yellow, this));
        break;
    case GitTracking::Case::notInRepo:
        h->addWidget(new Capsule(QStringLiteral("not backed up"), Tint::orange, this));
        break;
    case GitTracking::Case::unknown:
        break;
    }
}

FindingRow::FindingRow(const Finding& finding, bool expanded, QWidget* parent)
    : QWidget(parent), ruleId_(QString::fromStdString(finding.rule.id)) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 2, 0, 2);
    v->setSpacing(4);
    auto* head = new QHBoxLayout;
    head->setSpacing(6);
    const QString title = QString::fromStdString(finding.rule.title);
    auto* disclosure = new Disclosure(title, this);
    disclosure->setExpanded(expanded);
    head->addWidget(disclosure);
    if (finding.isUnbackedConfigGap())
        head->addWidget(glyphLabel(Glyph::warning, Tint::orange, this, tr("Not in any git repository")));
    auto* titleLabel = new QLabel(title, this);
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setToolTip(QString::fromStdString(finding.rule.detail));
    head->addWidget(titleLabel);
    head->addWidget(new RiskBadge(finding.rule.risk, this));
    auto* count = new QLabel(itemCount(finding.paths.size()), this);
    makeSecondary(count);
    head->addWidget(count);
    head->addStretch(1);
    v->addLayout(head);

    auto* pathsBox = new QWidget(this);
    auto* pv = new QVBoxLayout(pathsBox);
    pv->setContentsMargins(0, 0, 0, 4);
    pv->setSpacing(2);
    for (const auto& p : finding.paths)
        pv->addWidget(new PathRow(p, pathsBox));
    pathsBox->setVisible(expanded);
    v->addWidget(pathsBox);
    connect(disclosure, &QToolButton::clicked, this, [this, disclosure, pathsBox] {
        const bool on = !disclosure->expanded();
        disclosure->setExpanded(on);
        pathsBox->setVisible(on);
        emit expandedChanged(on);
    });
}

AuditPane::AuditPane(AppModel& model, ModelSignals& changes, QWidget* parent) : Pane(model, changes, parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    stack_ = new QStackedWidget(this);
    outer->addWidget(stack_, 1);

    // Before the first inventory: only the progress indicator.
    auto* loading = new QWidget(stack_);
    auto* lv = new QVBoxLayout(loading);
    lv->addStretch(1);
    auto* bar = new QProgressBar(loading);
    bar->setRange(0, 0);
    bar->setMaximumWidth(220);
    bar->setTextVisible(false);
    bar->setAccessibleName(tr("Scanning"));
    lv->addWidget(bar, 0, Qt::AlignHCenter);
    auto* scanningText = new QLabel(tr("Scanning your machine…"), loading);
    scanningText->setAlignment(Qt::AlignCenter);
    lv->addWidget(scanningText);
    lv->addStretch(1);
    stack_->addWidget(loading);

    auto* page = new QWidget(stack_);
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->setSpacing(0);
    stack_->addWidget(page);
    auto* column = makeScrollColumn(pageLayout);

    summaryHost_ = new QVBoxLayout;
    column->addLayout(summaryHost_);

    filterBar_ = new QWidget(page);
    auto* fb = new QHBoxLayout(filterBar_);
    fb->setContentsMargins(0, 0, 0, 0);
    fb->setSpacing(8);
    search_ = new QLineEdit(filterBar_);
    search_->setPlaceholderText(tr("Search apps, paths, categories"));
    search_->setAccessibleName(tr("Search findings"));
    search_->addAction(glyphIcon(Glyph::search), QLineEdit::LeadingPosition);
    search_->setClearButtonEnabled(true);
    search_->setMinimumWidth(220);
    fb->addWidget(search_, 1);
    gapsChip_ = chip(tr("Gaps only"), filterBar_);
    highChip_ = chip(tr("High+"), filterBar_);
    criticalChip_ = chip(tr("Critical"), filterBar_);
    gapsChip_->setToolTip(tr("Only config files that no git repository covers"));
    highChip_->setToolTip(tr("Only high and critical risks"));
    criticalChip_->setToolTip(tr("Only critical risks"));
    fb->addWidget(gapsChip_);
    fb->addWidget(highChip_);
    fb->addWidget(criticalChip_);
    clearFilters_ = new QPushButton(tr("Clear filters"), filterBar_);
    clearFilters_->setFlat(true);
    fb->addWidget(clearFilters_);
    column->addWidget(filterBar_);

    list_ = new QVBoxLayout;
    list_->setSpacing(10);
    column->addLayout(list_);
    column->addStretch(1);

    auto* bar2 = new ActionBar(page);
    bar2->row()->addStretch(1);
    auto* backUp = primaryButton(tr("Back This Up"), bar2);
    bar2->row()->addWidget(backUp);
    pageLayout->addWidget(bar2);
    actionBar_ = bar2;

    connect(search_, &QLineEdit::textChanged, this,
            [this](const QString& text) { model_.setAuditSearch(text.toStdString()); });
    connect(gapsChip_, &QPushButton::clicked, this, [this] { model_.setAuditGapsOnly(!model_.auditGapsOnly()); });
    connect(highChip_, &QPushButton::clicked, this, [this] {
        // Choosing the active chip again clears the risk filter.
        model_.setAuditMinRisk(model_.auditMinRisk() == Risk::high ? std::nullopt : std::optional<Risk>(Risk::high));
    });
    connect(criticalChip_, &QPushButton::clicked, this, [this] {
        model_.setAuditMinRisk(model_.auditMinRisk() == Risk::critical ? std::nullopt
                                                                       : std::optional<Risk>(Risk::critical));
    });
    connect(clearFilters_, &QPushButton::clicked, this, [this] { model_.clearAuditFilters(); });
    connect(backUp, &QPushButton::clicked, this, [this] { model_.setTab(AppModel::Tab::backup); });
    refresh();
}

QWidget* AuditPane::summaryCard() {
    const Inventory& inv = *model_.inventory();
    auto* card = new Card(this);
    card->setObjectName(QStringLiteral("summaryCard"));
    auto* row = new QHBoxLayout;
    row->setSpacing(28);
    auto* totalBox = new QVBoxLayout;
    totalBox->setSpacing(0);
    auto* total = new QLabel(QString::number(inv.findings.size()), card);
    total->setFont(scaledFont(total->font(), 10, QFont::Bold));
    totalBox->addWidget(total);
    totalBox->addWidget(caption(tr("items found"), card));
    row->addLayout(totalBox);

    auto stat = [&](Glyph glyph, Tint tint, const QString& text) {
        auto* h = new QHBoxLayout;
        h->setSpacing(6);
        h->addWidget(glyphLabel(glyph, tint, card));
        auto* l = new QLabel(text, card);
        l->setFont(scaledFont(l->font(), 1, QFont::DemiBold));
        h->addWidget(l);
        row->addLayout(h);
    };
    stat(Glyph::key, Tint::red, QStringLiteral("%1 secrets").arg(inv.secretCount()));
    stat(Glyph::warning, Tint::orange, QStringLiteral("%1 config gaps").arg(inv.configGaps().size()));
    row->addStretch(1);
    card->body()->addLayout(row);
    return card;
}

void AuditPane::refresh() {
    const bool haveInventory = model_.inventory().has_value();
    stack_->setCurrentIndex(haveInventory ? 1 : 0);
    if (search_->text().toStdString() != model_.auditSearch()) {
        const QSignalBlocker block(search_);
        search_->setText(QString::fromStdString(model_.auditSearch()));
    }
    gapsChip_->setChecked(model_.auditGapsOnly());
    highChip_->setChecked(model_.auditMinRisk() == Risk::high);
    criticalChip_->setChecked(model_.auditMinRisk() == Risk::critical);
    clearFilters_->setVisible(model_.auditFiltersActive());
    if (!haveInventory)
        return;

    // Rebuild only when what the list shows changed: a new inventory, filters or repositories.
    const auto& inv = *model_.inventory();
    QString sig = QString::number(inv.scannedAt.time_since_epoch().count()) + QLatin1Char('|') +
                  QString::number(inv.findings.size()) + QLatin1Char('|') +
                  QString::fromStdString(model_.auditSearch()) + QLatin1Char('|') +
                  QString::number(model_.auditGapsOnly()) + QLatin1Char('|') +
                  QString::number(model_.auditMinRisk() ? rawValue(*model_.auditMinRisk()) : 0) + QLatin1Char('|');
    for (const auto& r : model_.gitRisks())
        sig += QString::fromStdString(r.repo + r.detail) + QLatin1Char(';');
    if (sig == signature_)
        return;
    signature_ = sig;
    rebuildList();
}

void AuditPane::rebuildList() {
    clearLayout(summaryHost_);
    clearLayout(list_);
    const Inventory& inv = *model_.inventory();
    summaryHost_->addWidget(summaryCard());
    filterBar_->setVisible(!inv.findings.empty());

    // "Nothing at risk" only when there is truly nothing: a repository with unsaved work, or one
    // git could not read, is still something a wipe could lose.
    if (inv.findings.empty() && model_.gitRisks().empty()) {
        auto* card = new Card(this);
        card->setObjectName(QStringLiteral("emptyInventory"));
        card->body()->setContentsMargins(24, 24, 24, 24);
        auto* seal = glyphLabel(Glyph::seal, Tint::green, card);
        card->body()->addWidget(seal, 0, Qt::AlignHCenter);
        auto* title = new QLabel(tr("Nothing at risk found"), card);
        title->setFont(scaledFont(title->font(), 3, QFont::DemiBold));
        title->setAlignment(Qt::AlignCenter);
        card->body()->addWidget(title);
        auto* text = caption(tr("Either you're impressively tidy, or Stowage's scan roots need widening. Add folders "
                                "in Settings, then rescan."),
                             card);
        text->setAlignment(Qt::AlignCenter);
        card->body()->addWidget(text);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch(1);
        auto* settings = new QPushButton(tr("Open Settings"), card);
        auto* rescan = new QPushButton(tr("Rescan"), card);
        buttons->addWidget(settings);
        buttons->addWidget(rescan);
        buttons->addStretch(1);
        card->body()->addLayout(buttons);
        connect(settings, &QPushButton::clicked, this, [this] { model_.setTab(AppModel::Tab::settings); });
        connect(rescan, &QPushButton::clicked, this, [this] { model_.scan(); });
        list_->addWidget(card);
        return;
    }

    std::vector<const GitRisk*> atRisk, uninspected;
    for (const auto& risk : model_.gitRisks())
        (risk.uninspected() ? uninspected : atRisk).push_back(&risk);
    auto repoSection = [this](const std::vector<const GitRisk*>& risks, const QString& heading, const QString& note,
                              const QString& objectName, Glyph glyph, Tint tint) {
        if (risks.empty())
            return;
        list_->addWidget(sectionHeading(heading, note, this));
        auto* card = new Card(this);
        card->setObjectName(objectName);
        for (const auto* risk : risks) {
            auto* row = new QHBoxLayout;
            row->setSpacing(8);
            row->addWidget(glyphLabel(glyph, tint, card));
            auto* texts = new QVBoxLayout;
            texts->setSpacing(0);
            auto* name = new QLabel(QString::fromStdString(risk->name), card);
            name->setTextFormat(Qt::PlainText);
            name->setFont(scaledFont(name->font(), 0, QFont::DemiBold));
            name->setToolTip(QString::fromStdString(risk->repo));
            texts->addWidget(name);
            texts->addWidget(caption(QString::fromStdString(risk->detail), card));
            row->addLayout(texts, 1);
            auto* reveal = new QPushButton(tr("Reveal"), card);
            reveal->setAccessibleName(tr("Reveal %1").arg(QString::fromStdString(risk->name)));
            reveal->setToolTip(say("Show in Finder") + QStringLiteral(": ") + QString::fromStdString(risk->repo));
            const QString repo = QString::fromStdString(risk->repo);
            connect(reveal, &QPushButton::clicked, this, [repo] { revealInFileManager(repo); });
            row->addWidget(reveal);
            card->body()->addLayout(row);
        }
        list_->addWidget(card);
    };
    repoSection(atRisk, QStringLiteral("%1 repo(s) with unsaved or unpushed work").arg(atRisk.size()),
                tr("Not a file Stowage backs up — commit or push these before you wipe, or you'll lose the work."),
                QStringLiteral("gitRisks"), Glyph::branch, Tint::orange);
    repoSection(uninspected, QStringLiteral("%1 repo(s) could not be inspected").arg(uninspected.size()),
                tr("Git could not read these, so Stowage cannot tell whether they hold unsaved work. Check them "
                   "yourself before you wipe."),
                QStringLiteral("uninspectedRepos"), Glyph::warning, Tint::red);
    if (inv.findings.empty())
        return;

    bool anyShown = false;
    for (Tier tier : allTiers()) {
        const auto findings = model_.filtered(inv.findingsIn(tier));
        if (findings.empty())
            continue; // an empty tier section would only add noise
        anyShown = true;
        list_->addWidget(sectionHeading(tierTitle(tier), tierSubtitle(tier), this));
        auto* card = new Card(this);
        card->setObjectName(QStringLiteral("tier-") + QString::fromStdString(toString(tier)));
        for (const auto& f : findings) {
            auto* row = new FindingRow(f, expanded_.contains(QString::fromStdString(f.rule.id)), card);
            connect(row, &FindingRow::expandedChanged, this, [this, id = row->ruleId()](bool on) {
                if (on)
                    expanded_.insert(id);
                else
                    expanded_.remove(id);
            });
            card->body()->addWidget(row);
        }
        list_->addWidget(card);
    }
    if (!anyShown) {
        auto* box = new Card(this);
        box->setObjectName(QStringLiteral("noMatches"));
        auto* text = new QLabel(tr("Nothing matches these filters."), box);
        text->setAlignment(Qt::AlignCenter);
        box->body()->addWidget(text);
        auto* clear = new QPushButton(tr("Clear filters"), box);
        box->body()->addWidget(clear, 0, Qt::AlignHCenter);
        connect(clear, &QPushButton::clicked, this, [this] { model_.clearAuditFilters(); });
        list_->addWidget(box);
    }
}

} // namespace stowage::gui
