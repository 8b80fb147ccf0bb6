#pragma once
// Turns the model's change callback into Qt signals. `propertyChanged` fires at once for every
// change; `settled` fires once per event-loop turn after any number of changes, so a pane that
// rebuilds a list does it once when a scan publishes its inventory, selection and flag together.

#include "model/AppModel.hpp"

#include <QObject>
#include <QSet>

namespace stowage::gui {

class ModelSignals : public QObject {
    Q_OBJECT
public:
    explicit ModelSignals(AppModel& model, QObject* parent = nullptr);
    ~ModelSignals() override;

    AppModel& model() { return model_; }
    /// Whether `property` changed since the last `settled`, for the slot handling `settled`.
    bool pending(AppModel::Property property) const { return lastBatch_.contains(static_cast<int>(property)); }

signals:
    void propertyChanged(stowage::AppModel::Property property);
    void settled();

private:
    AppModel& model_;
    int observer_ = 0;
    bool scheduled_ = false;
    QSet<int> batch_;
    QSet<int> lastBatch_;
};

} // namespace stowage::gui
