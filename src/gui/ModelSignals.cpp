#include "gui/ModelSignals.hpp"

#include <QMetaObject>

namespace stowage::gui {

ModelSignals::ModelSignals(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    observer_ = model_.addObserver([this](AppModel::Property property) {
        batch_.insert(static_cast<int>(property));
        emit propertyChanged(property);
        if (scheduled_)
            return;
        scheduled_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                scheduled_ = false;
                lastBatch_ = std::move(batch_);
                batch_.clear();
                emit settled();
            },
            Qt::QueuedConnection);
    });
}

ModelSignals::~ModelSignals() {
    model_.removeObserver(observer_);
}

} // namespace stowage::gui
