#pragma once
// The application's one main window: the root view and the "Actions" menu with its commands and
// shortcuts (Ctrl+R rescan, Ctrl+B back up now, Ctrl+1…Ctrl+5 the tabs, Ctrl+Q quit).

#include "gui/ModelSignals.hpp"
#include "gui/Updater.hpp"

#include <QMainWindow>

#include <memory>

class QAction;
class QApplication;

namespace stowage::gui {

class RootView;

/// The product's fixed facts shown in the menu commands and the About box.
struct ProductInfo {
    static constexpr const char* version = "0.9.3";
    static constexpr const char* feedbackAddress = "stowage-beta@larchworks.io";
    static constexpr const char* feedbackSubject = "Stowage 0.9.3 beta feedback";
    static constexpr const char* site = "https://larchworks.io/stowage";
};

/// Fusion-independent touches every window shares: chips, segments and the primary button.
void applyStyle(QApplication& app);

class StowageApp : public QMainWindow {
    Q_OBJECT
public:
    StowageApp(AppModel& model, std::unique_ptr<Updater> updater, QWidget* parent = nullptr);
    ~StowageApp() override;

    RootView* root() const { return root_; }
    QAction* action(const QString& text) const;
    /// The mailto: address "Send Beta Feedback…" opens.
    static QUrl feedbackUrl();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenu();
    void refreshActions();

    AppModel& model_;
    ModelSignals changes_;
    std::unique_ptr<Updater> updater_;
    RootView* root_;
    QAction* rescan_ = nullptr;
    QAction* backUpNow_ = nullptr;
    QAction* checkUpdates_ = nullptr;
};

} // namespace stowage::gui
