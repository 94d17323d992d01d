#pragma once

#include <QColor>
#include <QFont>
#include <QPushButton>

#include "bridge/app/bridge_view.h"

class QPalette;
class QWidget;

namespace palisor::gui {

// How prominent a text is: the main label colour, or one of two quieter tones
// for explanations and small print.
enum class TextTone { label, secondary, tertiary };

QColor toneColor(TextTone tone, const QPalette& palette);
// Green, orange and red chosen to stay readable on the palette's background,
// light or dark; `secondary` is the secondary tone.
QColor statusColor(StatusColor color, const QPalette& palette);

// Paints the widget's text (label text and field text) in `color`.
void setTextColor(QWidget* widget, const QColor& color);
QColor textColor(const QWidget* widget);

// The application font at a size in logical pixels. The window's geometry and
// its type sizes were designed in one unit, so type is sized in the same
// logical pixels as the layout and keeps its proportions on any screen.
QFont uiFont(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont monospaceFont(int pixelSize);

// A push button with room around its title, like the rounded buttons of
// desktop dialogs; the style's own margins leave the title cramped.
class RoomyButton : public QPushButton {
public:
    explicit RoomyButton(const QString& title, QWidget* parent = nullptr) : QPushButton(title, parent) {}
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
};

}  // namespace palisor::gui
