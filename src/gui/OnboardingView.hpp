#pragma once
// The first-run introduction: three pages, "Back" from the second on, "Next" on the first two and
// "Get Started" on the last, which marks onboarding as done.

#include "gui/Icons.hpp"
#include "model/AppModel.hpp"

#include <QWidget>

#include <vector>

class QLabel;
class QPushButton;

namespace stowage::gui {

class OnboardingView : public QWidget {
    Q_OBJECT
public:
    struct Pane {
        Glyph icon;
        QString title;
        QString body;
    };
    static std::vector<Pane> panes();

    explicit OnboardingView(AppModel& model, QWidget* parent = nullptr);
    /// Shows the first page again.
    void restart();
    int page() const { return page_; }
    QString title() const;
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }

private:
    void show(int page);

    AppModel& model_;
    std::vector<Pane> panes_;
    int page_ = 0;
    QLabel* icon_;
    QLabel* title_;
    QLabel* body_;
    QLabel* dots_;
    QPushButton* back_;
    QPushButton* next_;
};

} // namespace stowage::gui
