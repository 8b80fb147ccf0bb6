#include "gui/OnboardingView.hpp"

#include "gui/Widgets.hpp"

#include <QBoxLayout>
#include <QPainter>

namespace stowage::gui {

std::vector<OnboardingView::Pane> OnboardingView::panes() {
    return {
        {Glyph::shield, QStringLiteral("See what you'd lose"),
         QStringLiteral("Stowage scans the places developer state hides — SSH keys, cloud tokens, .env files, shell & "
                        "editor config — and flags what isn't safely in a git repo.")},
        {Glyph::lock, QStringLiteral("Back it up, encrypted"),
         QStringLiteral(
             "Secrets are sealed with AES-256-GCM from a passphrase only you know. Nothing is ever uploaded. "
             "The backup is useless without your passphrase or recovery code.")},
        {Glyph::restore, say("Restore on a fresh Mac"),
         QStringLiteral("Point Stowage at your backup folder and selectively restore — with a dry-run preview and a "
                        "conflict policy so you never clobber something by surprise.")},
    };
}

OnboardingView::OnboardingView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model), panes_(panes()) {
    setAutoFillBackground(true);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(48, 40, 48, 32);
    v->addStretch(2);
    icon_ = new QLabel(this);
    icon_->setAlignment(Qt::AlignCenter);
    v->addWidget(icon_);
    v->addSpacing(12);
    title_ = new QLabel(this);
    title_->setAlignment(Qt::AlignCenter);
    title_->setFont(scaledFont(title_->font(), 9, QFont::Bold));
    title_->setObjectName(QStringLiteral("onboardingTitle"));
    v->addWidget(title_);
    v->addSpacing(6);
    body_ = new QLabel(this);
    body_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    body_->setWordWrap(true);
    body_->setFont(scaledFont(body_->font(), 2));
    body_->setFixedWidth(QFontMetrics(body_->font()).averageCharWidth() * 56);
    body_->setMinimumHeight(QFontMetrics(body_->font()).lineSpacing() * 5);
    makeSecondary(body_);
    auto* bodyRow = new QHBoxLayout;
    bodyRow->addStretch(1);
    bodyRow->addWidget(body_);
    bodyRow->addStretch(1);
    v->addLayout(bodyRow);
    v->addStretch(3);
    dots_ = new QLabel(this);
    dots_->setAlignment(Qt::AlignCenter);
    makeSecondary(dots_);
    v->addWidget(dots_);
    v->addSpacing(12);
    auto* buttons = new QHBoxLayout;
    back_ = new QPushButton(tr("Back"), this);
    next_ = primaryButton(tr("Next"), this);
    next_->setMinimumWidth(140);
    buttons->addStretch(1);
    buttons->addWidget(back_);
    buttons->addWidget(next_);
    buttons->addStretch(1);
    v->addLayout(buttons);
    connect(back_, &QPushButton::clicked, this, [this] { show(page_ - 1); });
    connect(next_, &QPushButton::clicked, this, [this] {
        if (page_ + 1 < static_cast<int>(panes_.size())) {
            show(page_ + 1);
            return;
        }
        model_.setHasOnboarded(true);
        model_.persist();
    });
    show(0);
}

void OnboardingView::restart() {
    show(0);
}

QString OnboardingView::title() const {
    return title_->text();
}

void OnboardingView::show(int page) {
    page_ = std::clamp(page, 0, static_cast<int>(panes_.size()) - 1);
    const Pane& p = panes_[static_cast<std::size_t>(page_)];
    const int side = 72;
    const qreal dpr = devicePixelRatioF();
    QPixmap pm(QSize(side, side) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    {
        QPainter painter(&pm);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withOpacity(tintColor(Tint::blue, palette()), 0.15));
        painter.drawEllipse(QRectF(0, 0, side, side));
        paintGlyph(painter, QRectF(16, 16, side - 32, side - 32), p.icon, tintColor(Tint::blue, palette()));
    }
    icon_->setPixmap(pm);
    title_->setText(p.title);
    body_->setText(p.body);
    QString dots;
    for (int i = 0; i < static_cast<int>(panes_.size()); ++i)
        dots += i == page_ ? QStringLiteral("●") : QStringLiteral("○");
    dots_->setText(dots.split(QString(), Qt::SkipEmptyParts).join(QStringLiteral("  ")));
    dots_->setAccessibleName(tr("Page %1 of %2").arg(page_ + 1).arg(panes_.size()));
    back_->setVisible(page_ > 0);
    const bool last = page_ + 1 == static_cast<int>(panes_.size());
    next_->setText(last ? tr("Get Started") : tr("Next"));
    next_->setFocus();
}

} // namespace stowage::gui
