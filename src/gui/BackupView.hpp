#pragma once
// The backup pane: pick what to capture, protect the secrets, run the backup and read its result,
// including the one-time recovery code.

#include "gui/Pane.hpp"
#include "gui/Widgets.hpp"

#include <QSet>

#include <vector>

class QCheckBox;
class QLineEdit;
class QProgressBar;

namespace stowage::gui {

/// The passphrase strength as four segments coloured by the score, and the label beside them.
class StrengthBar : public QWidget {
    Q_OBJECT
public:
    explicit StrengthBar(QWidget* parent = nullptr);
    void setScore(int score, const QString& label);
    int score() const { return score_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int score_ = 0;
    QString label_;
};

/// One finding with its check box (all, some or none of its paths selected), disclosure, title,
/// path count and gap warning; expanded, one line per path with its own check box.
class SelectableFindingRow : public QWidget {
    Q_OBJECT
public:
    SelectableFindingRow(AppModel& model, const Finding& finding, bool expanded, QWidget* parent = nullptr);
    /// Re-reads the check states from the model.
    void sync();
    CheckBox* box() const { return box_; }
    QString ruleId() const { return ruleId_; }

signals:
    void expandedChanged(bool expanded);

private:
    AppModel& model_;
    std::vector<std::string> paths_;
    CheckBox* box_;
    std::vector<std::pair<CheckBox*, std::string>> pathBoxes_;
    QString ruleId_;
};

class BackupPane : public Pane {
    Q_OBJECT
public:
    BackupPane(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);
    void refresh() override;

    QPushButton* backUpButton() const { return backUp_; }
    QLineEdit* passphraseField() const { return passphrase_; }
    QLineEdit* confirmField() const { return confirm_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuildSelection();
    void rebuildProjects();
    void rebuildResult();
    void syncChecks();

    FolderField* folder_;
    IconLine* error_;
    QLabel* countLine_;
    QWidget* scanningLine_;
    QVBoxLayout* tiers_;
    std::vector<std::pair<CheckBox*, Tier>> tierBoxes_;
    std::vector<SelectableFindingRow*> rows_;
    QCheckBox* manifests_;
    QCheckBox* restorer_;
    QWidget* projectsSection_;
    QVBoxLayout* projectList_;
    QCheckBox* gitHistory_;
    QLabel* secretCount_;
    QCheckBox* usePassphrase_;
    QLabel* passphraseSubtitle_;
    QWidget* passphraseBox_;
    QLineEdit* passphrase_;
    QLineEdit* confirm_;
    StrengthBar* strength_;
    QLabel* mismatch_;
    QVBoxLayout* resultHost_;
    IconLine* blockReason_;
    QLabel* stage_;
    QProgressBar* busy_;
    QPushButton* backUp_;
    QSet<QString> expanded_;
    QString selectionSignature_;
    QString projectSignature_;
    const BackupResult* shownResult_ = nullptr;
    bool resultShown_ = false;
};

} // namespace stowage::gui
