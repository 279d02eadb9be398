#include "app/dialog_layout.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>

#include "app/resource.h"

namespace morvane {
namespace {

// Windows rounds a value scaled by a fraction to the nearest integer.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

}  // namespace

QSize DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const QRect& dialogUnits, const QSize& baseUnits) {
    return {MulDiv(dialogUnits.x(), baseUnits.width(), 4),
            MulDiv(dialogUnits.y(), baseUnits.height(), 8),
            MulDiv(dialogUnits.width(), baseUnits.width(), 4),
            MulDiv(dialogUnits.height(), baseUnits.height(), 8)};
}

std::map<int, QWidget*> CreateDialogControls(QWidget* dialog, const QSize& baseUnits) {
    std::map<int, QWidget*> controls;
    QWidget* previousTabStop = nullptr;
    QLabel* pendingLabel = nullptr;  // a text row waiting for the control it names
    for (const SControlLayout& item : kMainDialogLayout) {
        const QRect rect = MapDialogRect(QRect(item.x, item.y, item.cx, item.cy), baseUnits);
        const QString text = item.text != nullptr ? QString::fromLatin1(item.text) : QString();
        QWidget* control = nullptr;
        switch (item.kind) {
            case ControlKind::DefaultButton:
            case ControlKind::Button: {
                auto* button = new QPushButton(text, dialog);
                if (item.kind == ControlKind::DefaultButton) button->setDefault(true);
                control = button;
                break;
            }
            case ControlKind::Text:
            case ControlKind::CentredText: {
                auto* label = new QLabel(text, dialog);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(
                    (item.kind == ControlKind::CentredText ? Qt::AlignHCenter : Qt::AlignLeft) |
                    Qt::AlignTop);
                // Texts taller than one line wrap at blanks, like the layout's statics.
                label->setWordWrap(item.cy > 8);
                control = label;
                break;
            }
            case ControlKind::Picture:
            case ControlKind::Icon: {
                auto* picture = new QLabel(dialog);
                const bool banner = item.kind == ControlKind::Picture;
                const QPixmap pixmap(QString::fromLatin1(banner ? kBannerPath : kWarningIconPath));
                picture->setPixmap(pixmap);
                if (banner) {
                    picture->setFrameShape(QFrame::Box);
                    picture->setLineWidth(1);
                }
                control = picture;
                break;
            }
            case ControlKind::ComboBox: {
                // A plain drop-down: the field can only show an item, so it always names the port
                // Load opens. Typed text was never read, but it could stay on screen beside a
                // load of another port.
                auto* combo = new QComboBox(dialog);
                combo->setEditable(false);
                combo->setMaxVisibleItems(10);
                control = combo;
                break;
            }
            case ControlKind::ProgressBar: {
                auto* bar = new QProgressBar(dialog);
                bar->setTextVisible(false);
                bar->setRange(0, 100);
                bar->setValue(0);
                control = bar;
                break;
            }
            case ControlKind::GroupBox: control = new QGroupBox(text, dialog); break;
        }
        control->setObjectName(QString::fromLatin1(item.name));
        if (item.accessibleName != nullptr)
            control->setAccessibleName(QString::fromLatin1(item.accessibleName));
        if (item.kind == ControlKind::Picture || item.kind == ControlKind::Icon) {
            // A picture control takes the size of its picture, as on Windows.
            auto* picture = static_cast<QLabel*>(control);
            const int frame = 2 * picture->frameWidth();
            control->setGeometry(rect.x(), rect.y(), picture->pixmap().width() + frame,
                                 picture->pixmap().height() + frame);
        } else if (item.kind == ControlKind::ComboBox) {
            // The layout's height is that of the open list; the closed box is one line high.
            control->setGeometry(rect.x(), rect.y(), rect.width(), control->sizeHint().height());
        } else {
            control->setGeometry(rect);
        }
        if (item.kind == ControlKind::GroupBox) {
            // A group box is only a frame: it must not sit over the controls it surrounds.
            control->lower();
        }
        if (control->focusPolicy() != Qt::NoFocus) {
            if (previousTabStop != nullptr) QWidget::setTabOrder(previousTabStop, control);
            previousTabStop = control;
            // A screen reader would otherwise call the port list by the port it shows.
            if (pendingLabel != nullptr) {
                pendingLabel->setBuddy(control);
                control->setAccessibleName(pendingLabel->text());
            }
        }
        pendingLabel = item.kind == ControlKind::Text ? static_cast<QLabel*>(control) : nullptr;
        controls[item.id] = control;
    }
    return controls;
}

}  // namespace morvane
