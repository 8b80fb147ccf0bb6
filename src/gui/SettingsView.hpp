#pragma once
// The settings pane: where Stowage looks, what it ignores, how often it nags, the granted folders
// of a sandboxed build, and "Replay onboarding". Every edit goes to the model, which persists it.

#include "gui/Pane.hpp"
#include "gui/Widgets.hpp"

class QComboBox;
class QPlainTextEdit;

namespace stowage::gui {

class SettingsPane : public Pane {
    Q_OBJECT
public:
    SettingsPane(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);
    void refresh() override;

    QPlainTextEdit* scanRootsEdit() const { return roots_; }
    QPlainTextEdit* excludeEdit() const { return excludes_; }
    QWidget* grantedBlock() const { return granted_; }
    QPushButton* replayButton() const { return replay_; }
    QComboBox* reminderPicker() const { return reminder_; }
    QComboBox* schedulePicker() const { return schedule_; }
    QLabel* scheduleNote() const { return scheduleNote_; }

private:
    QPlainTextEdit* roots_;
    QPlainTextEdit* excludes_;
    FolderField* backupDir_;
    QCheckBox* incremental_;
    QComboBox* reminder_;
    QLabel* lastBackup_;
    QComboBox* schedule_;
    QLabel* scheduleNote_;
    QWidget* granted_;
    QVBoxLayout* grantedList_;
    QPushButton* replay_;
    std::vector<std::string> shownRoots_;
    bool rootsShown_ = false;
};

} // namespace stowage::gui
