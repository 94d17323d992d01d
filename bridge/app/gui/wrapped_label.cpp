#include "bridge/app/gui/wrapped_label.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QTextLayout>
#include <QToolTip>

namespace palisor::gui {

WrappedLabel::WrappedLabel(const QString& text, int maxLines, QWidget* parent)
    : QLabel(text, parent), maxLines_(std::max(maxLines, 1)) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

QStringList WrappedLabel::wrap(int width) const {
    QStringList lines;
    const QString content = text();
    for (const QString& paragraph : content.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max(width, 1));
            lines << paragraph.mid(line.textStart(), line.textLength());
        }
        layout.endLayout();
        if (paragraph.isEmpty()) lines << QString();
    }
    return lines;
}

int WrappedLabel::verticalMargins() const {
    const QMargins margins = contentsMargins();
    return margins.top() + margins.bottom();
}

int WrappedLabel::heightFor(int width) const {
    const QMargins margins = contentsMargins();
    const auto lines = std::min<qsizetype>(wrap(width - margins.left() - margins.right()).size(), maxLines_);
    return static_cast<int>(std::max<qsizetype>(lines, 1)) * fontMetrics().lineSpacing() + verticalMargins();
}

QSize WrappedLabel::sizeHint() const {
    // Before the layout has given it a width, assume a moderate one.
    const QMargins margins = contentsMargins();
    const int oneLine = fontMetrics().horizontalAdvance(text()) + margins.left() + margins.right();
    const int width = std::min(oneLine, 400);
    return {width, heightFor(laidOutWidth_ > 0 ? laidOutWidth_ : width)};
}

void WrappedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    laidOutWidth_ = width();
    // A new width may need another number of lines: ask the layout again.
    const auto lines = static_cast<int>(wrap(contentsRect().width()).size());
    if (lines != wantedLines_) {
        wantedLines_ = lines;
        updateGeometry();
    }
}

QSize WrappedLabel::minimumSizeHint() const {
    return {0, fontMetrics().lineSpacing() + verticalMargins()};
}

int WrappedLabel::room() const {
    return std::max(1, std::min(maxLines_, contentsRect().height() / std::max(fontMetrics().lineSpacing(), 1)));
}

bool WrappedLabel::isTruncated() const {
    return wrap(contentsRect().width()).size() > room();
}

QStringList WrappedLabel::shownLines() const {
    const int width = contentsRect().width();
    QStringList lines = wrap(width);
    const int fit = room();
    if (lines.size() <= fit) return lines;
    // The last line that fits takes the rest of the text, shortened; the
    // rest spans more than a line, so it always ends in an ellipsis.
    const QString rest = lines.mid(fit - 1).join(QLatin1Char(' '));
    lines = lines.mid(0, fit - 1);
    lines << fontMetrics().elidedText(rest, Qt::ElideRight, width);
    return lines;
}

void WrappedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QRect area = contentsRect();
    const int lineSpacing = fontMetrics().lineSpacing();
    int top = area.top();
    for (const QString& line : shownLines()) {
        painter.drawText(QRect(area.left(), top, area.width(), lineSpacing), Qt::AlignLeft | Qt::AlignTop, line);
        top += lineSpacing;
    }
}

bool WrappedLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        // The whole text, only when part of it is hidden.
        auto* help = static_cast<QHelpEvent*>(event);
        if (isTruncated()) {
            QToolTip::showText(help->globalPos(), text(), this);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QLabel::event(event);
}

}  // namespace palisor::gui
