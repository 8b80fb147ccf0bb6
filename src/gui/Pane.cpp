#include "gui/Pane.hpp"

#include <QScrollArea>
#include <QVBoxLayout>

namespace stowage::gui {

Pane::Pane(AppModel& model, ModelSignals& changes, QWidget* parent)
    : QWidget(parent), model_(model), changes_(changes) {
    connect(&changes_, &ModelSignals::settled, this, [this] { refresh(); });
}

QVBoxLayout* Pane::makeScrollColumn(QVBoxLayout* outer) {
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll_);
    content->setBackgroundRole(QPalette::Window);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 16, 20, 20);
    column->setSpacing(12);
    scroll_->setWidget(content);
    outer->addWidget(scroll_, 1);
    return column;
}

} // namespace stowage::gui
