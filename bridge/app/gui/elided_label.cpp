#include "bridge/app/gui/elided_label.h"

#include <QEvent>
#include <QFontMetrics>
#include <QResizeEvent>

namespace palisor::gui {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString& text) {
    fullText_ = text;
    setToolTip(text);
    updateElision();
}

QSize ElidedLabel::minimumSizeHint() const {
    const QMargins margins = contentsMargins();
    return {0, QFontMetrics(font()).height() + margins.top() + margins.bottom()};
}

QSize ElidedLabel::sizeHint() const {
    const QMargins margins = contentsMargins();
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(fullText_) + margins.left() + margins.right(),
            metrics.height() + margins.top() + margins.bottom()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateElision();
}

void ElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) updateElision();
}

void ElidedLabel::updateElision() {
    const int width = contentsRect().width();
    const QString shown = QFontMetrics(font()).elidedText(fullText_, Qt::ElideMiddle, std::max(width, 0));
    // setText only when the text changes: it would otherwise ask the layout
    // again on every resize.
    if (shown != text()) setText(shown);
}

}  // namespace palisor::gui
