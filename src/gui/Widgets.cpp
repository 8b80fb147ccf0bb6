#include "gui/Widgets.hpp"

#include <QProgressBar>

#include "core/Wording.hpp"

#include <QApplication>
#include <QBoxLayout>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTimer>
#include <QUrl>

namespace stowage::gui {

// ---- Capsule ---------------------------------------------------------------------------------

Capsule::Capsule(const QString& text, Tint tint, QWidget* parent, double backgroundOpacity)
    : QLabel(text, parent), tint_(tint), backgroundOpacity_(backgroundOpacity) {
    setFont(scaledFont(font(), -1.5, QFont::DemiBold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(text);
}

void Capsule::setTint(Tint tint) {
    tint_ = tint;
    update();
}

QSize Capsule::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text()) + 12, fm.height() + 4};
}

void Capsule::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor c = tintColor(tint_, palette());
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(withOpacity(c, backgroundOpacity_));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setPen(c);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}

// ---- Card ------------------------------------------------------------------------------------

Card::Card(QWidget* parent, std::optional<Tint> accent) : QFrame(parent), accent_(accent) {
    body_ = new QVBoxLayout(this);
    body_->setContentsMargins(12, 12, 12, 12);
    body_->setSpacing(6);
}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QColor base = accent_ ? tintColor(*accent_, palette()) : palette().color(QPalette::WindowText);
    p.setBrush(withOpacity(base, accent_ ? 0.12 : (isDark(palette()) ? 0.07 : 0.045)));
    p.setPen(QPen(withOpacity(base, accent_ ? 0.35 : 0.12), 1));
    p.drawRoundedRect(r, 10, 10);
}

// ---- Labels ----------------------------------------------------------------------------------

QWidget* sectionHeading(const QString& title, const QString& subtitle, QWidget* parent) {
    auto* w = new QWidget(parent);
    auto* v = new QVBoxLayout(w);
    v->setContentsMargins(0, 6, 0, 0);
    v->setSpacing(2);
    auto* t = new QLabel(title, w);
    t->setObjectName(QStringLiteral("heading"));
    t->setFont(scaledFont(t->font(), 2, QFont::DemiBold));
    t->setWordWrap(true);
    t->setAccessibleName(title);
    v->addWidget(t);
    if (!subtitle.isEmpty())
        v->addWidget(caption(subtitle, w));
    return w;
}

QProgressBar* busyIndicator(const QString& accessibleName, QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 0);
    bar->setMaximumWidth(90);
    bar->setTextVisible(false);
    bar->setAccessibleName(accessibleName);
    return bar;
}

QWidget* toggleRow(QCheckBox* box, const QString& subtitle, QWidget* parent, QLabel** captionOut) {
    auto* w = new QWidget(parent);
    auto* v = new QVBoxLayout(w);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    box->setParent(w);
    v->addWidget(box);
    auto* sub = caption(subtitle, w);
    // Line the explanation up with the box's text.
    sub->setContentsMargins(box->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 6, 0, 0, 0);
    v->addWidget(sub);
    if (captionOut)
        *captionOut = sub;
    return w;
}

QLabel* caption(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setWordWrap(true);
    l->setTextFormat(Qt::PlainText);
    makeSecondary(l);
    return l;
}

QLabel* wrapLabel(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setWordWrap(true);
    l->setTextFormat(Qt::PlainText);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

IconLine::IconLine(Glyph glyph, Tint tint, const QString& text, QWidget* parent) : QWidget(parent) {
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(8);
    auto* i = new QLabel(this);
    const int side = QFontMetrics(font()).height();
    i->setPixmap(glyphIcon(glyph, tintColor(tint, palette())).pixmap(QSize(side, side)));
    i->setAlignment(Qt::AlignTop);
    i->setFixedWidth(side + 2);
    h->addWidget(i, 0, Qt::AlignTop);
    label_ = wrapLabel(text, this);
    h->addWidget(label_, 1);
    setAccessibleName(text);
}

QString IconLine::text() const {
    return label_->text();
}

void IconLine::setText(const QString& text) {
    label_->setText(text);
    setAccessibleName(text);
}

// ---- CheckBox -----------------------------------------------------------------------------

CheckBox::CheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
    setTristate(true);
    connect(this, &QCheckBox::clicked, this, [this] { emit activated(); });
    setSelectionState(Qt::Unchecked);
}

void CheckBox::setSelectionState(Qt::CheckState state) {
    setCheckState(state);
    setAccessibleDescription(state == Qt::Checked            ? QStringLiteral("selected")
                             : state == Qt::PartiallyChecked ? QStringLiteral("partially selected")
                                                             : QStringLiteral("not selected"));
}

void CheckBox::nextCheckState() {
    // The model owns the state; the refresh after `activated` shows the new one.
}

// ---- FolderField -----------------------------------------------------------------------------

FolderField::FolderField(const QString& label, QWidget* parent) : QWidget(parent), dialogTitle_(label) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(4);
    auto* l = new QLabel(label, this);
    l->setFont(scaledFont(l->font(), 0, QFont::DemiBold));
    v->addWidget(l);
    auto* h = new QHBoxLayout;
    h->setSpacing(8);
    display_ = new QLineEdit(this);
    display_->setReadOnly(true);
    display_->setAccessibleName(label);
    display_->setMinimumWidth(200);
    l->setBuddy(display_);
    choose_ = new QPushButton(tr("Choose…"), this);
    choose_->setAccessibleName(tr("Choose %1").arg(label.toLower()));
    choose_->setToolTip(tr("Choose a folder"));
    h->addWidget(display_, 1);
    h->addWidget(choose_);
    v->addLayout(h);
    connect(choose_, &QPushButton::clicked, this, [this] {
        const QString start = display_->text().isEmpty() ? QDir::homePath() : display_->text();
        const QString chosen = QFileDialog::getExistingDirectory(
            this, dialogTitle_, start, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
        if (chosen.isEmpty())
            return;
        const QString absolute = QDir(chosen).absolutePath();
        setPath(absolute);
        if (onChosen)
            onChosen(absolute);
    });
}

void FolderField::setPath(const QString& path) {
    if (display_->text() != path) {
        display_->setText(path);
        display_->setCursorPosition(0);
    }
    display_->setToolTip(path);
}

QString FolderField::path() const {
    return display_->text();
}

// ---- CopyButton ------------------------------------------------------------------------------

CopyButton::CopyButton(const QString& label, std::function<QString()> text, QWidget* parent)
    : QPushButton(glyphIcon(Glyph::copy), label, parent), label_(label), text_(std::move(text)) {
    reset_ = new QTimer(this);
    reset_->setSingleShot(true);
    reset_->setInterval(copiedMillis);
    // Keep the width of the longer label so the row does not jump when it changes.
    const QFontMetrics fm(font());
    setMinimumWidth(std::max(fm.horizontalAdvance(label), fm.horizontalAdvance(tr("Copied!"))) + 48);
    connect(reset_, &QTimer::timeout, this, [this] { setText(label_); });
    connect(this, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(text_());
        setText(tr("Copied!"));
        reset_->start();
    });
}

// ---- Small builders --------------------------------------------------------------------------

QToolButton* iconButton(Glyph glyph, const QString& help, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setIcon(glyphIcon(glyph));
    b->setToolTip(help);
    b->setAccessibleName(help);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::StrongFocus);
    const int side = QFontMetrics(b->font()).height() + 2;
    b->setIconSize(QSize(side, side));
    return b;
}

QPushButton* chip(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setCheckable(true);
    b->setObjectName(QStringLiteral("chip"));
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

QPushButton* primaryButton(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setDefault(true);
    b->setAutoDefault(true);
    b->setObjectName(QStringLiteral("primary"));
    b->setMinimumHeight(QFontMetrics(b->font()).height() + 14);
    b->setMinimumWidth(QFontMetrics(b->font()).horizontalAdvance(text) + 48);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return b;
}

ActionBar::ActionBar(QWidget* parent) : QFrame(parent) {
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(16, 10, 16, 10);
    row_->setSpacing(10);
    setAutoFillBackground(false);
}

void ActionBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QColor text = palette().color(QPalette::WindowText);
    p.fillRect(rect(), palette().color(QPalette::Window));
    p.fillRect(rect(), withOpacity(text, 0.03));
    p.setPen(withOpacity(text, 0.15));
    p.drawLine(rect().topLeft(), rect().topRight());
}

Disclosure::Disclosure(const QString& what, QWidget* parent) : QToolButton(parent), what_(what) {
    setAutoRaise(true);
    const int side = QFontMetrics(font()).height() - 2;
    setIconSize(QSize(side, side));
    setFocusPolicy(Qt::StrongFocus);
    setExpanded(false);
}

void Disclosure::setExpanded(bool expanded) {
    expanded_ = expanded;
    setIcon(glyphIcon(expanded ? Glyph::chevronDown : Glyph::chevronRight));
    const QString help = (expanded ? tr("Hide the paths of %1") : tr("Show the paths of %1")).arg(what_);
    setToolTip(help);
    setAccessibleName(help);
}

void clearLayout(QLayout* layout) {
    if (!layout)
        return;
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        if (QLayout* child = item->layout())
            clearLayout(child);
        delete item;
    }
}

void revealInFileManager(const QString& path) {
    const QUrl url = QUrl::fromLocalFile(path);
    auto fallback = [url] { QDesktopServices::openUrl(url); };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallback();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{url.toString()} << QString();
    // Asynchronous: starting a file manager may take a while, and the window must not wait for it.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, fallback] {
        if (watcher->isError())
            fallback();
        watcher->deleteLater();
    });
}

QString fileSize(qint64 bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString say(const char* text) {
    return QString::fromStdString(wording::localized(text));
}
QString say(const std::string& text) {
    return QString::fromStdString(wording::localized(text));
}

} // namespace stowage::gui
