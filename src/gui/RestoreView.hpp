#pragma once
// The restore pane: load a backup folder, choose what to restore and how to treat existing files,
// place project secrets, preview the changes and restore.

#include "gui/Pane.hpp"
#include "gui/Widgets.hpp"

class QCheckBox;
class QLineEdit;
class QProgressBar;

namespace stowage::gui {

/// One outcome whose file differs from the disk: disclosure, path, diff-kind badge, +added and
/// −removed counts; expanded, the diff lines coloured by their first character.
class DiffRow : public QWidget {
    Q_OBJECT
public:
    DiffRow(const RestoreOutcome& outcome, QWidget* parent = nullptr);
};

/// One project-scoped secret and where it will go: match badge, planned destination (or
/// "— will be skipped —"), and the choose-folder, clone, skip and undo-skip actions.
class RelocRow : public QWidget {
    Q_OBJECT
public:
    RelocRow(AppModel& model, const RelocationPlan& plan, QWidget* parent = nullptr);
};

class RestorePane : public Pane {
    Q_OBJECT
public:
    RestorePane(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);
    void refresh() override;

    QPushButton* restoreButton() const { return run_; }
    QPushButton* loadButton() const { return load_; }
    QLineEdit* keyField() const { return key_; }

private:
    void rebuildManifest();
    void rebuildSelection();
    void rebuildRelocation();
    void rebuildResults();

    FolderField* folder_;
    QPushButton* load_;
    QLabel* loading_;
    IconLine* error_;
    QWidget* loaded_;
    QLabel* backupFrom_;
    QLabel* backupCounts_;
    Disclosure* historyToggle_;
    QLabel* historyTitle_;
    QWidget* historyBox_;
    QVBoxLayout* historyList_;
    QCheckBox* configOn_;
    QCheckBox* secretsOn_;
    QCheckBox* projectsOn_;
    QVBoxLayout* configList_;
    QVBoxLayout* secretList_;
    QVBoxLayout* projectList_;
    QWidget* configBox_;
    QWidget* secretBox_;
    QWidget* projectBox_;
    QLineEdit* key_;
    std::vector<QPushButton*> policies_;
    QLabel* policyBlurb_;
    QCheckBox* snapshot_;
    QCheckBox* dryRun_;
    QWidget* relocSection_;
    QLabel* relocIntro_;
    QPushButton* review_;
    QVBoxLayout* relocList_;
    QCheckBox* flatten_;
    QLabel* unresolved_;
    QVBoxLayout* results_;
    IconLine* blockReason_;
    QLabel* stage_;
    QProgressBar* busy_;
    QPushButton* run_;
    QString manifestSig_;
    QString selectionSig_;
    QString relocSig_;
    QString resultsSig_;
    bool lastRunDry_ = true;
    bool wasRestoring_ = false;
};

} // namespace stowage::gui
