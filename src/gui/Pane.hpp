#pragma once
// What every pane shares: the model, the change signals, and a refresh that runs once per batch
// of model changes. Panes never call the engine; they read the model and call its operations.

#include "gui/ModelSignals.hpp"

#include <QWidget>

class QScrollArea;
class QVBoxLayout;

namespace stowage::gui {

class Pane : public QWidget {
    Q_OBJECT
public:
    Pane(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);

    /// Re-reads the model; called after every batch of changes and when the pane is shown.
    virtual void refresh() = 0;

protected:
    /// A vertical scroll area filling the pane above an optional action bar; its content column.
    QVBoxLayout* makeScrollColumn(QVBoxLayout* outer);
    bool changedSince(AppModel::Property p) const { return changes_.pending(p); }

    AppModel& model_;
    ModelSignals& changes_;
    QScrollArea* scroll_ = nullptr;
};

} // namespace stowage::gui
