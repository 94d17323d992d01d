#include "bridge/app/gui/workspace_row.h"

#include <algorithm>

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

#include "bridge/app/gui/elided_label.h"
#include "bridge/app/gui/window_style.h"

namespace palisor::gui {

namespace {

// As wide with either of its titles, so that the rows' controls line up.
class DefaultWorkspaceButton : public RoomyButton {
public:
    using RoomyButton::RoomyButton;
    QSize sizeHint() const override {
        // Measured the way a push button measures itself, with the longer title.
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text = QStringLiteral("Đặt mặc định");
        QSize text = fontMetrics().size(Qt::TextShowMnemonic, option.text);
        text.setHeight(std::max(text.height(), 14));
        QSize longest = style()->sizeFromContents(QStyle::CT_PushButton, &option, text, this);
        return RoomyButton::sizeHint().expandedTo(longest + (RoomyButton::sizeHint() - QPushButton::sizeHint()));
    }
};


QIcon drawnTrashIcon(const QColor& color) {
    // A 16-pixel glyph drawn at twice the size so it stays sharp on dense screens.
    constexpr int scale = 2;
    QPixmap pixmap(16 * scale, 16 * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.drawLine(QPointF(2.5, 4.0), QPointF(13.5, 4.0));  // lid
    QPainterPath handle;
    handle.moveTo(6.0, 4.0);
    handle.lineTo(6.0, 2.5);
    handle.lineTo(10.0, 2.5);
    handle.lineTo(10.0, 4.0);
    painter.drawPath(handle);
    QPainterPath can;
    can.moveTo(3.8, 4.0);
    can.lineTo(4.6, 14.0);
    can.lineTo(11.4, 14.0);
    can.lineTo(12.2, 4.0);
    painter.drawPath(can);
    for (qreal x : {6.4, 8.0, 9.6}) painter.drawLine(QPointF(x, 6.3), QPointF(x, 11.7));
    painter.end();
    return QIcon(pixmap);
}

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColor(label, color);
    return label;
}

}  // namespace

QIcon trashIcon(const QPalette& palette) {
    return QIcon::fromTheme(QStringLiteral("user-trash"), drawnTrashIcon(toneColor(TextTone::secondary, palette)));
}

QWidget* makeWorkspaceRow(const WorkspaceRowModel& model, const WorkspaceRowActions& actions, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("workspaceRow"));
    const QString workspaceId = QString::fromStdString(model.workspaceId);
    row->setProperty("workspaceId", workspaceId);
    const QPalette palette = row->palette();

    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);

    auto* topLine = new QHBoxLayout;
    topLine->setSpacing(8);
    auto* projectKey = makeLabel(QString::fromStdString(model.projectKey), uiFont(14, QFont::DemiBold),
                                 toneColor(TextTone::label, palette), "projectKeyLabel");
    projectKey->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    topLine->addWidget(projectKey, 0, Qt::AlignVCenter);
    auto* idLabel =
        makeLabel(workspaceId, monospaceFont(11), toneColor(TextTone::secondary, palette), "workspaceIdLabel");
    idLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    topLine->addWidget(idLabel, 0, Qt::AlignVCenter);
    topLine->addStretch(1);

    auto* validation = new QCheckBox(QStringLiteral("Validation"));
    validation->setObjectName(QStringLiteral("validationCheckbox"));
    validation->setChecked(model.validationEnabled);
    // clicked, not toggled: only the user's click is an action; rendering sets
    // the state without asking for anything.
    QObject::connect(validation, &QCheckBox::clicked, row,
                     [toggle = actions.toggleValidation, id = model.workspaceId](bool on) {
                         if (toggle) toggle(id, on);
                     });
    topLine->addWidget(validation, 0, Qt::AlignVCenter);

    auto* makeDefault = new DefaultWorkspaceButton(QString::fromStdString(model.defaultButtonTitle));
    makeDefault->setObjectName(QStringLiteral("defaultButton"));
    makeDefault->setEnabled(model.defaultButtonEnabled);
    makeDefault->setAutoDefault(false);
    QObject::connect(makeDefault, &QPushButton::clicked, row,
                     [setDefault = actions.setDefault, id = model.workspaceId] {
                         if (setDefault) setDefault(id);
                     });
    topLine->addWidget(makeDefault, 0, Qt::AlignVCenter);

    auto* remove = new QToolButton;
    remove->setObjectName(QStringLiteral("removeButton"));
    remove->setIcon(trashIcon(palette));
    remove->setIconSize(QSize(16, 16));
    remove->setToolButtonStyle(Qt::ToolButtonIconOnly);
    remove->setAutoRaise(true);
    remove->setAccessibleName(QStringLiteral("Xóa workspace"));
    remove->setToolTip(QStringLiteral("Xóa workspace khỏi Bridge"));
    QObject::connect(remove, &QToolButton::clicked, row, [removeWorkspace = actions.remove, id = model.workspaceId] {
        if (removeWorkspace) removeWorkspace(id);
    });
    topLine->addWidget(remove, 0, Qt::AlignVCenter);
    column->addLayout(topLine);

    auto* root = new ElidedLabel;
    root->setObjectName(QStringLiteral("workspaceRootLabel"));
    root->setFont(uiFont(12));
    setTextColor(root, toneColor(TextTone::secondary, palette));
    root->setFullText(QString::fromStdString(model.workspaceRoot));
    column->addWidget(root);

    auto* validationLine = makeLabel(QString::fromStdString(model.validationText), uiFont(12, QFont::Medium),
                                     statusColor(model.validationColor, palette), "validationLabel");
    validationLine->setWordWrap(true);
    column->addWidget(validationLine);

    auto* separator = new QFrame;
    separator->setObjectName(QStringLiteral("separator"));
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    column->addWidget(separator);
    return row;
}

}  // namespace palisor::gui
