#pragma once
// The main window's content: header with the rescan button, the tab bar, the welcome-back and
// reminder banners, the selected pane and the status footer; the onboarding covers all of it
// until it has been completed.

#include "gui/ModelSignals.hpp"

#include <QWidget>

#include <array>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTabBar;
class QToolButton;

namespace stowage::gui {

class AuditPane;
class BackupPane;
class RestorePane;
class AppsPane;
class SettingsPane;
class OnboardingView;

class RootView : public QWidget {
    Q_OBJECT
public:
    RootView(AppModel& model, ModelSignals& changes, QWidget* parent = nullptr);
    void refresh();

    QTabBar* tabBar() const { return tabs_; }
    QWidget* currentPane() const;
    AuditPane* auditPane() const { return audit_; }
    BackupPane* backupPane() const { return backup_; }
    RestorePane* restorePane() const { return restore_; }
    AppsPane* appsPane() const { return apps_; }
    SettingsPane* settingsPane() const { return settings_; }
    OnboardingView* onboarding() const { return onboarding_; }
    bool onboardingShown() const;
    QLabel* statusLine() const { return status_; }
    QWidget* welcomeBanner() const { return welcome_; }
    QWidget* reminderBanner() const { return reminder_; }

signals:
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;

private:
    AppModel& model_;
    QStackedWidget* cover_;
    QTabBar* tabs_;
    QStackedWidget* panes_;
    QToolButton* rescan_;
    QWidget* welcome_;
    QWidget* reminder_;
    QLabel* reminderText_;
    QLabel* status_;
    QProgressBar* busy_;
    AuditPane* audit_;
    BackupPane* backup_;
    RestorePane* restore_;
    AppsPane* apps_;
    SettingsPane* settings_;
    OnboardingView* onboarding_;
    bool firstShow_ = true;
};

} // namespace stowage::gui
