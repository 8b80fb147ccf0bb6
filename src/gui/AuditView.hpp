#pragma once
// The audit pane: what would be lost on a wipe. A summary, the filter bar, the repositories with
// unsaved work, and the findings by tier; filters live in the model so they survive tab switches.

#include "gui/Pane.hpp"
#include "gui/Widgets.hpp"

#include <QSet>

class QLineEdit;
class QStackedWidget;

namespace stowage::gui {

/// One Risk as a capsule: "Low" secondary, "Medium" blue, "High" orange, "Critical" red.
class RiskBadge : public Capsule {
    Q_OBJECT
public:
    explicit RiskBadge(Risk risk, QWidget* parent = nullptr);
};

/// One found path: folder icon, the path, and its git tag ("in repo", "untracked", "not backed up").
class PathRow : public QWidget {
    Q_OBJECT
public:
    explicit PathRow(const FoundPath& path, QWidget* parent = nullptr);
};

/// One finding: disclosure, title (with a warning triangle for a config gap), risk badge and
/// " · N item(s)"; expanded it lists a PathRow per found path.
class FindingRow : public QWidget {
    Q_OBJECT
public:
    FindingRow(const Finding& finding, bool expanded, QWidget* parent = nullptr);
    QString ruleId() const { return ruleId_; }

signals:
    void expandedChanged(bool expanded);

private:
    QString ruleId_;
};

class AuditPane : public Pane {
    Q_OBJECT
public:
    AuditPane(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);
    void refresh() override;

    QLineEdit* searchField() const { return search_; }

private:
    void rebuildList();
    QWidget* summaryCard();

    QStackedWidget* stack_;
    QLineEdit* search_;
    QPushButton* gapsChip_;
    QPushButton* highChip_;
    QPushButton* criticalChip_;
    QPushButton* clearFilters_;
    QWidget* filterBar_;
    QVBoxLayout* summaryHost_;
    QVBoxLayout* list_;
    QWidget* actionBar_;
    QSet<QString> expanded_;
    QString signature_;
};

} // namespace stowage::gui
