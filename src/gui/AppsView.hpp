#pragma once
// The apps pane: every installed application and how to get it back, for this machine or for the
// machine a loaded backup came from, plus one copyable command per package toolchain.

#include "gui/Pane.hpp"
#include "gui/Widgets.hpp"

#include <functional>
#include <vector>

class QLineEdit;
class QProgressBar;

namespace stowage::gui {

/// One application row: icon, name and version, the action its source offers and, for a backup's
/// list, the "reinstalled" tick.
class AppRow : public QWidget {
    Q_OBJECT
public:
    AppRow(AppModel& model, const InstalledApp& app, bool fromBackup, QWidget* parent = nullptr);
};

class AppsPane : public Pane {
    Q_OBJECT
public:
    /// One toolchain whose manifest inside a backup's manifest/ folder can be replayed.
    struct ReinstallSource {
        QString title;
        QString subtitle;
        Glyph icon;
        QString manifestFile;
        /// The shell command for the manifest file's absolute path, always single-quoted.
        std::function<QString(const QString& file)> command;
    };
    static const std::vector<ReinstallSource>& reinstallSources();
    /// Whether the list belongs to this platform's toolchains (the others are shown only when a
    /// backup holds them).
    static bool platformSource(const QString& manifestFile);
    /// A path as one single-quoted shell word (embedded quotes closed, escaped and reopened).
    static QString quoted(const QString& path);

    AppsPane(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);
    void refresh() override;
    /// The backup folder the toolchain commands point into.
    QString commandFolder() const;
    QPushButton* thisMachineButton() const { return thisMachine_; }
    QPushButton* fromBackupButton() const { return fromBackup_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuild();

    QPushButton* thisMachine_;
    QPushButton* fromBackup_;
    QLabel* subtitle_;
    QLabel* progress_;
    QLabel* counts_;
    QLineEdit* filter_;
    QWidget* scanning_;
    QVBoxLayout* groups_;
    QVBoxLayout* sources_;
    QString signature_;
    QString sourcesFolder_;
};

} // namespace stowage::gui
