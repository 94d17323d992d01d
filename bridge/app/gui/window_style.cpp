#include "bridge/app/gui/window_style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPalette>
#include <QWidget>

namespace palisor::gui {

namespace {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

}  // namespace

QColor toneColor(TextTone tone, const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    // Quieter tones are the label colour let through the background, so they
    // follow the theme; the alphas keep small text legible on light and dark.
    switch (tone) {
        case TextTone::label:
            break;
        case TextTone::secondary:
            color.setAlphaF(0.62f);
            break;
        case TextTone::tertiary:
            color.setAlphaF(0.45f);
            break;
    }
    return color;
}

QColor statusColor(StatusColor color, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (color) {
        case StatusColor::green:
            return dark ? QColor(0x5c, 0xd1, 0x7a) : QColor(0x1a, 0x7f, 0x37);
        case StatusColor::orange:
            return dark ? QColor(0xff, 0xa6, 0x4d) : QColor(0xb3, 0x59, 0x00);
        case StatusColor::red:
            return dark ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc6, 0x28, 0x28);
        case StatusColor::secondary:
            break;
    }
    return toneColor(TextTone::secondary, palette);
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    // Disabled widgets keep the style's greyed-out text.
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, color);
        palette.setColor(group, QPalette::Text, color);
    }
    widget->setPalette(palette);
}

QColor textColor(const QWidget* widget) {
    return widget->palette().color(QPalette::Active, QPalette::WindowText);
}

QFont uiFont(int pixelSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont monospaceFont(int pixelSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixelSize);
    return font;
}

QSize RoomyButton::sizeHint() const {
    const QSize base = QPushButton::sizeHint();
    return {base.width() + 16, base.height() + 4};
}

}  // namespace palisor::gui
