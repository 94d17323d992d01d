#pragma once

#include <QLabel>

namespace palisor::gui {

// A word-wrapped label of at most `maxLines` lines. Text that needs more, or
// more than the height the layout can spare (down to one line), ends in an
// ellipsis, with the whole text as its tooltip. QLabel would instead cut its
// last line through the middle of the glyphs.
class WrappedLabel : public QLabel {
public:
    WrappedLabel(const QString& text, int maxLines, QWidget* parent = nullptr);

    // Its preferred height is that of the lines it needs at its current
    // width, its minimum one line: the layout may give it less than it
    // wants when the window is short. (Height-for-width would make the
    // layout treat the wanted lines as a minimum and overlap widgets.)
    bool hasHeightForWidth() const override { return false; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The lines shown at the current size; when the text needs more, the
    // last one ends in an ellipsis.
    QStringList shownLines() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    // The text broken into lines for a width, all of them.
    QStringList wrap(int width) const;
    int verticalMargins() const;
    int heightFor(int width) const;
    // How many lines the current height holds, within maxLines.
    int room() const;
    bool isTruncated() const;

    int maxLines_;
    int wantedLines_ = 0;
    int laidOutWidth_ = 0;
};

}  // namespace palisor::gui
