#include "gui/AppsView.hpp"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLineEdit>
#include <QProgressBar>
#include <QUrl>

#include <algorithm>
#include <map>

namespace stowage::gui {

QString AppsPane::quoted(const QString& path) {
    QString inner = path;
    inner.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

const std::vector<AppsPane::ReinstallSource>& AppsPane::reinstallSources() {
    static const std::vector<ReinstallSource> sources = {
        {QStringLiteral("Homebrew"), QStringLiteral("Every cask & formula"), Glyph::terminal,
         QStringLiteral("Brewfile"),
         [](const QString& f) { return QStringLiteral("brew bundle --file ") + quoted(f); }},
        {QStringLiteral("Mac App Store"), QStringLiteral("via the mas CLI"), Glyph::app, QStringLiteral("appstore.txt"),
         [](const QString& f) {
             return QStringLiteral("awk '{print $1}' ") + quoted(f) + QStringLiteral(" | xargs -n1 mas install");
         }},
        {QStringLiteral("pip packages"), QStringLiteral("Python globals"), Glyph::terminal,
         QStringLiteral("pip-global.txt"),
         [](const QString& f) { return QStringLiteral("pip3 install -r ") + quoted(f); }},
        {QStringLiteral("npm globals"), QStringLiteral("Node global packages"), Glyph::terminal,
         QStringLiteral("npm-global.txt"),
         [](const QString& f) { return QStringLiteral("xargs npm install -g < ") + quoted(f); }},
        {QStringLiteral("VS Code extensions"), QStringLiteral("Editor extensions"), Glyph::terminal,
         QStringLiteral("vscode-extensions.txt"),
         [](const QString& f) { return QStringLiteral("xargs -L1 code --install-extension < ") + quoted(f); }},
        {QStringLiteral("cargo crates"), QStringLiteral("Rust binaries"), Glyph::terminal,
         QStringLiteral("cargo-installed.txt"),
         [](const QString& f) { return QStringLiteral("xargs -n1 cargo install < ") + quoted(f); }},
        {QStringLiteral("APT packages"), QStringLiteral("Debian and Ubuntu packages you installed"), Glyph::terminal,
         QStringLiteral("apt-manual.txt"),
         [](const QString& f) {
             return QStringLiteral("xargs -a ") + quoted(f) + QStringLiteral(" sudo apt-get install -y");
         }},
        {QStringLiteral("DNF packages"), QStringLiteral("Fedora packages you installed"), Glyph::terminal,
         QStringLiteral("dnf-user.txt"),
         [](const QString& f) {
             return QStringLiteral("xargs -a ") + quoted(f) + QStringLiteral(" sudo dnf install -y");
         }},
        {QStringLiteral("pacman packages"), QStringLiteral("Arch packages you installed"), Glyph::terminal,
         QStringLiteral("pacman-native.txt"),
         [](const QString& f) { return QStringLiteral("sudo pacman -S --needed - < ") + quoted(f); }},
        {QStringLiteral("Flatpak apps"), QStringLiteral("Apps with their remote and installation"), Glyph::app,
         QStringLiteral("flatpak-apps.txt"),
         [](const QString& f) {
             return QStringLiteral("while IFS=\"$(printf '\\t')\" read -r id origin installation; do flatpak install "
                                   "-y \"--$installation\" \"$origin\" \"$id\" < /dev/null; done < ") +
                    quoted(f);
         }},
        {QStringLiteral("Snaps"), QStringLiteral("Snap packages with their channel"), Glyph::app,
         QStringLiteral("snaps.txt"),
         [](const QString& f) {
             return QStringLiteral("while IFS=\"$(printf '\\t')\" read -r name channel confinement; do if [ "
                                   "\"$confinement\" = classic ]; then sudo snap install \"$name\" "
                                   "--channel=\"$channel\" --classic < /dev/null; else sudo snap install \"$name\" "
                                   "--channel=\"$channel\" < /dev/null; fi; done < ") +
                    quoted(f);
         }},
        {QStringLiteral("pipx apps"), QStringLiteral("Python command-line apps"), Glyph::terminal,
         QStringLiteral("pipx.txt"),
         [](const QString& f) {
             return QStringLiteral("xargs -n 1 -a ") + quoted(f) + QStringLiteral(" pipx install");
         }},
        {QStringLiteral("Go binaries"), QStringLiteral("Programs in ~/go/bin"), Glyph::terminal,
         QStringLiteral("go-binaries.txt"),
         [](const QString& f) { return QStringLiteral("xargs -n 1 -a ") + quoted(f) + QStringLiteral(" go install"); }},
    };
    return sources;
}

bool AppsPane::platformSource(const QString& manifestFile) {
    static const QStringList mac{QStringLiteral("Brewfile"), QStringLiteral("appstore.txt")};
    static const QStringList linuxOnly{QStringLiteral("apt-manual.txt"), QStringLiteral("dnf-user.txt"),
                                       QStringLiteral("pacman-native.txt"), QStringLiteral("flatpak-apps.txt"),
                                       QStringLiteral("snaps.txt")};
#if defined(__APPLE__)
    return !linuxOnly.contains(manifestFile);
#else
    return !mac.contains(manifestFile);
#endif
}

AppRow::AppRow(AppModel& model, const InstalledApp& app, bool fromBackup, QWidget* parent) : QWidget(parent) {
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 2, 0, 2);
    h->setSpacing(8);
    if (fromBackup) {
        auto* tick = new CheckBox(QString(), this);
        const bool done = model.isReinstalled(app);
        tick->setSelectionState(done ? Qt::Checked : Qt::Unchecked);
        const QString help = done ? tr("Mark as not reinstalled") : tr("Mark as reinstalled");
        tick->setToolTip(help);
        tick->setAccessibleName(help + QStringLiteral(": ") + str(app.name));
        connect(tick, &CheckBox::activated, this, [&model, app] { model.toggleReinstalled(app); });
        h->addWidget(tick);
    }
    auto* i = new QLabel(this);
    const int side = QFontMetrics(font()).height() + 6;
    i->setPixmap(glyphIcon(Glyph::app, tintColor(Tint::secondary, palette())).pixmap(side, side));
    h->addWidget(i);
    auto* name = new QLabel(str(app.name), this);
    name->setTextFormat(Qt::PlainText);
    name->setToolTip(str(app.path));
    h->addWidget(name);
    if (app.version) {
        auto* version = new QLabel(str(*app.version), this);
        version->setTextFormat(Qt::PlainText);
        makeSecondary(version);
        h->addWidget(version);
    }
    h->addStretch(1);
    // A button that opens the app's page or a download search, or one that copies its command.
    auto linkButton = [&](Glyph glyph, const QString& text, const QString& accessible) {
        auto* b = new QPushButton(glyphIcon(glyph), text, this);
        b->setAccessibleName(accessible);
        const auto url = app.reinstallURL();
        b->setEnabled(url.has_value());
        if (url)
            connect(b, &QPushButton::clicked, this, [u = str(*url)] { QDesktopServices::openUrl(QUrl(u)); });
        h->addWidget(b);
    };
    auto copyButton = [&](const QString& text, const std::optional<std::string>& command) {
        const QString cmd = command ? str(*command) : QString();
        auto* b = new CopyButton(
            text, [cmd] { return cmd; }, this);
        b->setToolTip(cmd);
        b->setAccessibleName(tr("Copy the command that reinstalls %1").arg(str(app.name)));
        b->setEnabled(!cmd.isEmpty());
        h->addWidget(b);
    };
    switch (app.source) {
    case AppSource::appStore:
        linkButton(Glyph::external, tr("App Store"), tr("Open %1 in the App Store").arg(str(app.name)));
        break;
    case AppSource::homebrewCask:
        copyButton(tr("Copy brew cmd"), app.caskCommand());
        break;
    case AppSource::distributionPackage:
    case AppSource::flatpak:
    case AppSource::snap:
    case AppSource::nix:
        copyButton(tr("Copy install cmd"), app.reinstallCommand());
        break;
    case AppSource::appImage:
    case AppSource::manual:
        linkButton(Glyph::search, tr("Find download"), tr("Find a download of %1").arg(str(app.name)));
        break;
    }
}

AppsPane::AppsPane(AppModel& model, ModelSignals& changes, QWidget* parent) : Pane(model, changes, parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* column = makeScrollColumn(outer);

    auto* switchRow = new QHBoxLayout;
    switchRow->setSpacing(0);
    thisMachine_ = new QPushButton(say("This Mac"), this);
    fromBackup_ = new QPushButton(this);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (auto* b : {thisMachine_, fromBackup_}) {
        b->setCheckable(true);
        b->setObjectName(QStringLiteral("segment"));
        group->addButton(b);
        switchRow->addWidget(b);
    }
    switchRow->addStretch(1);
    column->addLayout(switchRow);
    connect(thisMachine_, &QPushButton::clicked, this, [this] { model_.setShowBackupApps(false); });
    connect(fromBackup_, &QPushButton::clicked, this, [this] { model_.setShowBackupApps(true); });

    subtitle_ = caption(QString(), this);
    column->addWidget(subtitle_);
    progress_ = new QLabel(this);
    progress_->setObjectName(QStringLiteral("reinstallProgress"));
    progress_->setFont(scaledFont(progress_->font(), 0, QFont::DemiBold));
    column->addWidget(progress_);
    auto* countsRow = new QHBoxLayout;
    counts_ = caption(QString(), this);
    counts_->setObjectName(QStringLiteral("appCounts"));
    countsRow->addWidget(counts_, 1);
    filter_ = new QLineEdit(this);
    filter_->setPlaceholderText(tr("Filter"));
    filter_->setAccessibleName(tr("Filter"));
    filter_->setClearButtonEnabled(true);
    filter_->addAction(glyphIcon(Glyph::search), QLineEdit::LeadingPosition);
    filter_->setMaximumWidth(260);
    countsRow->addWidget(filter_);
    column->addLayout(countsRow);
    connect(filter_, &QLineEdit::textChanged, this, [this] {
        signature_.clear();
        refresh();
    });

    scanning_ = new QWidget(this);
    {
        auto* h = new QHBoxLayout(scanning_);
        h->setContentsMargins(0, 0, 0, 0);
        auto* bar = new QProgressBar(scanning_);
        bar->setRange(0, 0);
        bar->setMaximumWidth(80);
        bar->setTextVisible(false);
        h->addWidget(bar);
#if defined(__APPLE__)
        h->addWidget(caption(tr("Reading /Applications…"), scanning_), 1);
#else
        h->addWidget(caption(tr("Reading the applications menu…"), scanning_), 1);
#endif
    }
    column->addWidget(scanning_);
    groups_ = new QVBoxLayout;
    groups_->setSpacing(10);
    column->addLayout(groups_);

    column->addWidget(sectionHeading(tr("REINSTALL EVERYTHING"),
                                     say("One command per toolchain — copy it, paste in Terminal."), this));
    auto* sourcesCard = new Card(this);
    sourcesCard->setObjectName(QStringLiteral("reinstallSources"));
    sources_ = new QVBoxLayout;
    sources_->setSpacing(10);
    sourcesCard->body()->addLayout(sources_);
    column->addWidget(sourcesCard);
    column->addStretch(1);
    refresh();
}

void AppsPane::showEvent(QShowEvent* event) {
    Pane::showEvent(event);
    model_.scanApps();
}

QString AppsPane::commandFolder() const {
    // A loaded backup is the one being restored from; otherwise the folder backups go to.
    return str(model_.loadedManifest() ? model_.restoreDir() : model_.backupDir());
}

void AppsPane::refresh() {
    const bool backup = model_.showBackupApps();
    thisMachine_->setChecked(!backup);
    fromBackup_->setChecked(backup);
    fromBackup_->setText(QStringLiteral("From backup (%1)").arg(model_.backupApps().size()));
    subtitle_->setText(backup ? say("Apps from your backed-up Mac — tick each off as you reinstall it. Brew casks are "
                                    "also covered by the backup's Brewfile.")
                              : say("Every installed app on this Mac, and how to get it back on a fresh one."));
    const auto& apps = model_.displayedApps();
    progress_->setVisible(backup && !apps.empty());
    progress_->setText(
        QStringLiteral("%1 of %2 reinstalled").arg(model_.reinstalledCount()).arg(model_.backupApps().size()));
    // One count per source present, and always the manual ones; on the Mac its own sources too.
    std::map<AppSource, int> bySource;
    for (const auto& a : apps)
        ++bySource[a.source];
    QStringList counts;
    const std::pair<AppSource, QString> labels[] = {
        {AppSource::appStore, QStringLiteral("App Store")},
        {AppSource::homebrewCask, QStringLiteral("brew")},
        {AppSource::distributionPackage, QStringLiteral("packages")},
        {AppSource::flatpak, QStringLiteral("Flatpak")},
        {AppSource::snap, QStringLiteral("Snap")},
        {AppSource::nix, QStringLiteral("Nix")},
        {AppSource::appImage, QStringLiteral("AppImage")},
        {AppSource::manual, QStringLiteral("manual")},
    };
    const bool linuxApps = std::any_of(apps.begin(), apps.end(), [](const InstalledApp& a) {
        return a.source != AppSource::appStore && a.source != AppSource::homebrewCask && a.source != AppSource::manual;
    });
#if defined(__APPLE__)
    constexpr bool onMac = true;
#else
    constexpr bool onMac = false;
#endif
    for (const auto& [source, label] : labels) {
        const bool macSource = source == AppSource::appStore || source == AppSource::homebrewCask;
        const int n = bySource[source];
        // The Mac's own sources are counted even when empty, there only.
        const bool zeroShown = onMac && !linuxApps && macSource;
        if (n > 0 || zeroShown || source == AppSource::manual)
            counts << QStringLiteral("%1 %2").arg(n).arg(label);
    }
    counts_->setText(counts.join(QStringLiteral("   ")));
    scanning_->setVisible(model_.scanningApps() && !backup);

    QString sig = QString::number(backup) + filter_->text() + QString::number(model_.scanningApps());
    for (const auto& a : apps)
        sig += str(a.path) + (model_.isReinstalled(a) ? QLatin1Char('+') : QLatin1Char('-'));
    if (sig != signature_) {
        signature_ = sig;
        rebuild();
    }
    const QString folder = commandFolder();
    if (folder != sourcesFolder_) {
        sourcesFolder_ = folder;
        clearLayout(sources_);
        for (const auto& s : reinstallSources()) {
            const QString file = folder + QStringLiteral("/manifest/") + s.manifestFile;
            // Another system's lists only when this backup holds them.
            if (!platformSource(s.manifestFile) && !QFileInfo::exists(file))
                continue;
            auto* row = new QHBoxLayout;
            row->setSpacing(10);
            auto* i = new QLabel;
            const int side = QFontMetrics(font()).height() + 8;
            i->setPixmap(glyphIcon(s.icon, tintColor(Tint::blue, palette())).pixmap(side, side));
            row->addWidget(i, 0, Qt::AlignTop);
            auto* texts = new QVBoxLayout;
            texts->setSpacing(1);
            auto* title = new QLabel(s.title);
            title->setFont(scaledFont(title->font(), 0, QFont::DemiBold));
            texts->addWidget(title);
            texts->addWidget(caption(s.subtitle));
            const QString command = s.command(file);
            auto* cmd = new QLabel(command);
            cmd->setTextFormat(Qt::PlainText);
            cmd->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            cmd->setTextInteractionFlags(Qt::TextSelectableByMouse);
            cmd->setWordWrap(true);
            cmd->setObjectName(QStringLiteral("command"));
            texts->addWidget(cmd);
            row->addLayout(texts, 1);
            auto* copy = new CopyButton(tr("Copy command"), [command] { return command; });
            copy->setAccessibleName(tr("Copy the %1 command").arg(s.title));
            copy->setObjectName(QStringLiteral("copy-") + s.manifestFile);
            row->addWidget(copy, 0, Qt::AlignTop);
            sources_->addLayout(row);
        }
    }
}

void AppsPane::rebuild() {
    clearLayout(groups_);
    const bool backup = model_.showBackupApps();
    const auto& all = model_.displayedApps();
    const QString needle = filter_->text().trimmed();
    std::vector<const InstalledApp*> apps;
    for (const auto& a : all)
        if (needle.isEmpty() || str(a.name).contains(needle, Qt::CaseInsensitive) ||
            (a.caskToken && str(*a.caskToken).contains(needle, Qt::CaseInsensitive)))
            apps.push_back(&a);

    if (backup && model_.backupApps().empty()) {
        groups_->addWidget(
            new IconLine(Glyph::info, Tint::secondary, tr("This backup didn't capture an app list."), this));
        return;
    }
    if (all.empty()) {
        if (!model_.scanningApps())
            groups_->addWidget(new IconLine(Glyph::info, Tint::secondary, tr("No apps found."), this));
        return;
    }
    if (apps.empty()) {
        groups_->addWidget(new IconLine(Glyph::info, Tint::secondary, tr("No apps match the filter."), this));
        return;
    }
    struct Group {
        AppSource source;
        QString title;
        QString note;
    };
    const Group groups[] = {
        {AppSource::appStore, tr("App Store"), tr("Reinstall straight from the Mac App Store.")},
        {AppSource::homebrewCask, tr("Homebrew"), tr("Covered by your Brewfile (`brew bundle`).")},
        {AppSource::distributionPackage, tr("Distribution packages"),
         tr("Reinstall with your package manager; also in the backup's package list.")},
        {AppSource::flatpak, tr("Flatpak"), tr("Reinstall from the same remote and installation.")},
        {AppSource::snap, tr("Snap"), tr("Reinstall from the Snap Store on the same channel.")},
        {AppSource::nix, tr("Nix"), tr("Reinstall into your Nix profile.")},
        {AppSource::appImage, tr("AppImages"), tr("Self-contained downloads — fetch them again from their makers.")},
        {AppSource::manual, tr("Manual downloads"), tr("No automated recovery — you'll redownload these yourself.")},
    };
    for (const auto& g : groups) {
        int n = 0;
        for (const auto* a : apps)
            n += a->source == g.source;
        if (n == 0)
            continue;
        groups_->addWidget(sectionHeading(QStringLiteral("%1  ·  %2").arg(g.title).arg(n), g.note, this));
        auto* card = new Card(this);
        for (const auto* a : apps)
            if (a->source == g.source)
                card->body()->addWidget(new AppRow(model_, *a, backup, card));
        groups_->addWidget(card);
    }
}

} // namespace stowage::gui
