#pragma once
// Small widgets every pane shares: capsule badges, rounded cards, section headings, the
// tri-state selection box, the folder field, icon-led message lines, the pinned action bar and
// the copy button that answers "Copied!".

#include "gui/Icons.hpp"
#include "gui/Theme.hpp"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

class QProgressBar;

#include <functional>
#include <optional>
#include <string>

class QLineEdit;
class QBoxLayout;
class QLayout;
class QTimer;

namespace stowage::gui {

/// A capsule: text in `tint` on the same colour at a low opacity (0.2 unless told otherwise).
/// Used for the risk badge, path tags, diff kinds and match badges.
class Capsule : public QLabel {
    Q_OBJECT
public:
    Capsule(const QString& text, Tint tint, QWidget* parent = nullptr, double backgroundOpacity = 0.2);
    void setTint(Tint tint);
    Tint tint() const { return tint_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Tint tint_;
    double backgroundOpacity_;
};

/// A rounded card: a faint fill of the text colour (or of an accent), corner radius 10, padding 12.
class Card : public QFrame {
    Q_OBJECT
public:
    explicit Card(QWidget* parent = nullptr, std::optional<Tint> accent = std::nullopt);
    QBoxLayout* body() const { return body_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<Tint> accent_;
    QBoxLayout* body_;
};

/// A heading (semibold, a little larger) with an optional secondary subtitle below it.
QWidget* sectionHeading(const QString& title, const QString& subtitle = {}, QWidget* parent = nullptr);

/// A word-wrapped label in the secondary colour.
QLabel* caption(const QString& text, QWidget* parent = nullptr);
/// UTF-8 text of the engine as a QString.
inline QString str(const std::string& s) {
    return QString::fromStdString(s);
}
/// A check box with a secondary explanation lined up under its text; the caption is handed back
/// through `captionOut` when asked for.
QWidget* toggleRow(QCheckBox* box, const QString& subtitle, QWidget* parent, QLabel** captionOut = nullptr);
/// A small indeterminate progress bar for an action bar, named for screen readers.
QProgressBar* busyIndicator(const QString& accessibleName, QWidget* parent);

/// A label that wraps and may be selected with the mouse (for paths and messages).
QLabel* wrapLabel(const QString& text, QWidget* parent = nullptr);

/// An icon followed by a wrapped line of text; `text()` answers the text for tests and accessibility.
class IconLine : public QWidget {
    Q_OBJECT
public:
    IconLine(Glyph glyph, Tint tint, const QString& text, QWidget* parent = nullptr);
    QString text() const;
    void setText(const QString& text);
    QLabel* label() const { return label_; }

private:
    QLabel* label_;
};

/// A selection box that shows a SelectionState (all, some, none) and never changes by itself:
/// a click emits `activated`, the owner toggles the model, and the next refresh sets the state.
/// Its accessible description reads "selected", "partially selected" or "not selected".
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    explicit CheckBox(const QString& text = {}, QWidget* parent = nullptr);
    void setSelectionState(Qt::CheckState state);

signals:
    void activated();

protected:
    void nextCheckState() override;
};

/// A label, a read-only display of a folder path and a button that opens the desktop's folder
/// chooser (folders only, one at a time); the chosen absolute path goes to `onChosen`.
class FolderField : public QWidget {
    Q_OBJECT
public:
    FolderField(const QString& label, QWidget* parent = nullptr);
    void setPath(const QString& path);
    QString path() const;
    QLineEdit* display() const { return display_; }
    QPushButton* chooseButton() const { return choose_; }
    /// The chooser's title; defaults to the label.
    void setDialogTitle(const QString& title) { dialogTitle_ = title; }
    std::function<void(const QString&)> onChosen;

private:
    QLineEdit* display_;
    QPushButton* choose_;
    QString dialogTitle_;
};

/// A push button that copies a text to the clipboard and reads "Copied!" for a moment afterwards.
class CopyButton : public QPushButton {
    Q_OBJECT
public:
    CopyButton(const QString& label, std::function<QString()> text, QWidget* parent = nullptr);
    /// How long "Copied!" stays (milliseconds).
    static constexpr int copiedMillis = 1800;

private:
    QString label_;
    std::function<QString()> text_;
    QTimer* reset_;
};

/// A small icon-only button with a tool tip and accessible name (both `help`).
QToolButton* iconButton(Glyph glyph, const QString& help, QWidget* parent = nullptr);

/// A checkable pill used as a filter chip.
QPushButton* chip(const QString& text, QWidget* parent = nullptr);

/// The bar pinned below a pane's scroll area: a top hairline and the window colour behind it.
class ActionBar : public QFrame {
    Q_OBJECT
public:
    explicit ActionBar(QWidget* parent = nullptr);
    QBoxLayout* row() const { return row_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QBoxLayout* row_;
};

/// A disclosure button: chevron right when collapsed, down when expanded, with accessible names.
class Disclosure : public QToolButton {
    Q_OBJECT
public:
    explicit Disclosure(const QString& what, QWidget* parent = nullptr);
    void setExpanded(bool expanded);
    bool expanded() const { return expanded_; }

private:
    QString what_;
    bool expanded_ = false;
};

/// Deletes every item (and widget) of a layout, recursively.
void clearLayout(QLayout* layout);

/// A primary button: the default action of its pane (Enter triggers it).
QPushButton* primaryButton(const QString& text, QWidget* parent = nullptr);

/// Shows a file or folder in the desktop's file manager, selected inside its parent folder, through
/// the freedesktop FileManager1 service; opens the folder itself where no file manager offers it.
void revealInFileManager(const QString& path);

/// Human file size ("12.3 MB", "512 bytes").
QString fileSize(qint64 bytes);

/// A text of the system (written with the Mac words) as this platform says it.
QString say(const char* text);
QString say(const std::string& text);

} // namespace stowage::gui
