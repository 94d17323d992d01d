#pragma once

#include <QLabel>
#include <QString>

namespace palisor::gui {

// A one-line label that shortens its text in the middle to the width it is
// given, so both ends of a long path stay visible; the whole text is its
// tooltip. It asks for no width of its own: the layout decides.
class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateElision();

    QString fullText_;
};

}  // namespace palisor::gui
