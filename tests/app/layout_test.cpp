#include <algorithm>
#include <cstdint>

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>

#include "app/dialog_layout.h"
#include "app/resource.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

using LayoutTest = DialogTest;

TEST(DialogUnits, ScaleByQuartersAndEighthsOfTheBaseUnits) {
    // The base units of the Windows dialog font at 96 dots per inch.
    const QSize base(6, 13);
    EXPECT_EQ(MapDialogRect(QRect(40, 127, 50, 16), base), QRect(60, 206, 75, 26));
    EXPECT_EQ(MapDialogRect(QRect(0, 0, 374, 290), base), QRect(0, 0, 561, 471));
    // Halves round up.
    EXPECT_EQ(MapDialogRect(QRect(1, 4, 3, 12), QSize(6, 13)), QRect(2, 7, 5, 20));
}

TEST_F(LayoutTest, ControlsStartWithTheLayoutsTexts) {
    Open({});
    // Pictures take their own size: they must still lie inside the window.
    for (const SControlLayout& item : kMainDialogLayout) {
        EXPECT_TRUE(dialog_->rect().contains(dialog_->GetDlgItem(item.id)->geometry()))
            << item.name;
    }
    EXPECT_EQ(Label(IDC_STATUS)->text(), "Status: Not Connected");
    EXPECT_EQ(Label(IDC_FIRMWARE_ON_DEVICE)->text(), "Firmware on Device: N/A");
    EXPECT_EQ(Label(IDC_PROGRESS_TEXT)->text(), "Progress: N/A");
    EXPECT_EQ(Label(IDC_PERCENT)->text(), "0%");
    EXPECT_EQ(Label(IDC_REMAINING_TIME)->text(), "Remaining Time: N/A");
    EXPECT_EQ(Label(IDC_COMPORT_LABEL)->text(), "Com Port");
    EXPECT_EQ(static_cast<QGroupBox*>(dialog_->GetDlgItem(IDC_STATUS_GROUP))->title(), "Status");
    EXPECT_EQ(Button(IDC_LOAD)->text(), "Load");
    EXPECT_TRUE(Button(IDC_LOAD)->isDefault());
}

TEST_F(LayoutTest, InitialisationSetsTheProgramsTexts) {
    Open({});
    EXPECT_EQ(dialog_->windowTitle(), "Tundro W6 Firmware v1.22");
    EXPECT_EQ(Label(IDC_FIRMWARE_TO_LOAD)->text(), "Firmware to be Loaded: 1.22");
    EXPECT_EQ(
        Label(IDC_INSTRUCTIONS)->text(),
        "1. Connect the Tundro W6 to the PC with a serial cable\n2. Select the PC Comport\n3. Click Load\n"
        "4. Wait for load to Complete.");
    EXPECT_TRUE(Label(IDC_WARNING)->text().startsWith("WARNING: If the device is disconnected"));
    EXPECT_FALSE(dialog_->windowIcon().isNull());
    EXPECT_EQ(dialog_->GetIcon().availableSizes().value(0), QSize(32, 32));
    auto* banner = static_cast<QLabel*>(dialog_->GetDlgItem(IDC_BANNER));
    EXPECT_EQ(banner->pixmap().size(), QSize(497, 99));
    auto* warningIcon = static_cast<QLabel*>(dialog_->GetDlgItem(IDC_WARNING_ICON));
    EXPECT_EQ(warningIcon->pixmap().size(), QSize(32, 32));
}

// Whether text shows whole in the label at the label's font and size.
::testing::AssertionResult Fits(const QLabel* label, const QString& text) {
    const QFontMetrics metrics(label->font());
    const QRect room = label->contentsRect();
    const QRect needed =
        label->wordWrap()
            ? metrics.boundingRect(QRect(0, 0, room.width(), 100000), Qt::TextWordWrap, text)
            : QRect(0, 0, metrics.horizontalAdvance(text), metrics.height());
    if (needed.width() <= room.width() && needed.height() <= room.height())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << label->objectName().toStdString() << ": \"" << text.toStdString() << "\" needs "
           << needed.width() << "x" << needed.height() << ", has " << room.width() << "x"
           << room.height();
}

TEST_F(LayoutTest, EveryTextTheWindowCanShowFits) {
    Open({});
    QStringList statusTexts{Label(IDC_STATUS)->text()};
    for (std::int32_t code = 0; code <= 40; ++code) {
        if (const auto lines = LinesForStatus(code))
            statusTexts << QString::fromLatin1(lines->text.data(), lines->text.size());
    }
    for (const QString& text : statusTexts) EXPECT_TRUE(Fits(Label(IDC_STATUS), text));

    // A device's version text is at most ten characters.
    EXPECT_TRUE(Fits(Label(IDC_FIRMWARE_ON_DEVICE), "Firmware on Device: N/A"));
    EXPECT_TRUE(Fits(Label(IDC_FIRMWARE_ON_DEVICE), "Firmware on Device: 88.88.8888"));
    EXPECT_TRUE(Fits(Label(IDC_FIRMWARE_TO_LOAD), Label(IDC_FIRMWARE_TO_LOAD)->text()));

    const auto total = static_cast<unsigned>(EmbeddedFirmwareImage().size());
    EXPECT_TRUE(Fits(Label(IDC_PROGRESS_TEXT), QString("Progress: %1/%2").arg(total).arg(total)));
    EXPECT_TRUE(Fits(Label(IDC_PERCENT), "100%"));
    // Far more than a transfer of the image at the working rate can take.
    EXPECT_TRUE(Fits(Label(IDC_REMAINING_TIME), "Remaining Time: 59 minutes 59 seconds"));
    EXPECT_TRUE(Fits(Label(IDC_REMAINING_TIME), "Remaining Time: 90 seconds"));
    EXPECT_TRUE(Fits(Label(IDC_COMPORT_LABEL), "Com Port"));
    EXPECT_TRUE(Fits(Label(IDC_INSTRUCTIONS), Label(IDC_INSTRUCTIONS)->text()));
    EXPECT_TRUE(Fits(Label(IDC_WARNING), Label(IDC_WARNING)->text()));

    const QFontMetrics buttonMetrics(Button(IDC_LOAD)->font());
    for (const QPushButton* button : {Button(IDC_LOAD), Button(IDC_EXIT)}) {
        EXPECT_LE(button->sizeHint().width(), button->width()) << button->text().toStdString();
        EXPECT_LE(buttonMetrics.height(), button->height());
    }
}

}  // namespace
}  // namespace morvane::testing_app
