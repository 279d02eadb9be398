// The dialog the program carries is the layout table, and what it shows fits in it.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/win32/zentrel_dlg_win32.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "tests/app/win32/dialog_fixture_win32.h"

namespace morvane::testing_win32 {
namespace {

// One row of a compiled DIALOGEX template.
struct SCompiledItem {
    std::uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::string className;  // "#128" and so on for the system's ordinals
    std::string text;       // "#1000" for a resource ordinal
};

struct SCompiledDialog {
    std::uint32_t style = 0;
    int cx = 0, cy = 0;
    int pointSize = 0;
    std::string face;
    std::vector<SCompiledItem> items;
};

// Reads the template the way the dialog manager does: words, UTF-16 texts or ordinals, items
// aligned to four bytes.
class CTemplateReader {
public:
    explicit CTemplateReader(const std::uint8_t* data) : m_begin(data), m_at(data) {}
    std::uint16_t Word() {
        std::uint16_t value;
        std::memcpy(&value, m_at, 2);
        m_at += 2;
        return value;
    }
    std::uint32_t Dword() {
        std::uint32_t value;
        std::memcpy(&value, m_at, 4);
        m_at += 4;
        return value;
    }
    int Short() { return static_cast<std::int16_t>(Word()); }
    std::string Text() {
        std::string text;
        for (std::uint16_t c = Word(); c != 0; c = Word()) text += static_cast<char>(c);
        return text;
    }
    std::string TextOrOrdinal() {
        const std::uint16_t first = Word();
        if (first == 0xFFFF) return "#" + std::to_string(Word());
        std::string text;
        for (std::uint16_t c = first; c != 0; c = Word()) text += static_cast<char>(c);
        return text;
    }
    void AlignToDword() {
        while ((m_at - m_begin) % 4 != 0) ++m_at;
    }
    void Skip(std::size_t bytes) { m_at += bytes; }

private:
    const std::uint8_t* m_begin;
    const std::uint8_t* m_at;
};

SCompiledDialog ReadMainDialog() {
    SCompiledDialog dialog;
    HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_MAIN_DIALOG), MAKEINTRESOURCEA(5));
    if (found == nullptr) return dialog;
    CTemplateReader in(
        static_cast<const std::uint8_t*>(::LockResource(::LoadResource(nullptr, found))));
    if (in.Word() != 1 || in.Word() != 0xFFFF) return dialog;  // not a DIALOGEX
    in.Dword();                                                // help id
    in.Dword();                                                // extended style
    dialog.style = in.Dword();
    const int count = in.Word();
    in.Short();
    in.Short();
    dialog.cx = in.Short();
    dialog.cy = in.Short();
    in.TextOrOrdinal();  // menu
    in.TextOrOrdinal();  // class
    in.Text();           // caption
    if ((dialog.style & DS_SETFONT) != 0) {
        dialog.pointSize = in.Word();
        in.Word();  // weight
        in.Word();  // italic, character set
        dialog.face = in.Text();
    }
    for (int i = 0; i < count; ++i) {
        in.AlignToDword();
        SCompiledItem item;
        in.Dword();  // help id
        in.Dword();  // extended style
        item.style = in.Dword();
        item.x = in.Short();
        item.y = in.Short();
        item.cx = in.Short();
        item.cy = in.Short();
        item.id = static_cast<int>(in.Dword());
        item.className = in.TextOrOrdinal();
        item.text = in.TextOrOrdinal();
        in.Skip(in.Word());
        dialog.items.push_back(item);
    }
    return dialog;
}

// What a row of the table must compile to: the system's class and the style bits that make
// its kind.
struct SKindForm {
    const char* className;
    std::uint32_t typeMask;
    std::uint32_t type;
    std::uint32_t flags;  // all must be set
};

SKindForm FormOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::DefaultButton:
            return {"#128", 0xF, BS_DEFPUSHBUTTON, WS_TABSTOP | WS_DISABLED};
        case ControlKind::Button: return {"#128", 0xF, BS_PUSHBUTTON, WS_TABSTOP};
        case ControlKind::Text: return {"#130", SS_TYPEMASK, SS_LEFT, 0};
        case ControlKind::CentredText: return {"#130", SS_TYPEMASK, SS_CENTER, 0};
        case ControlKind::Picture: return {"#130", SS_TYPEMASK, SS_BITMAP, WS_BORDER};
        case ControlKind::ComboBox:
            return {"#133", 0x3 | CBS_SORT, CBS_DROPDOWN, WS_VSCROLL | WS_TABSTOP};
        case ControlKind::ProgressBar: return {PROGRESS_CLASSA, 0, 0, PBS_SMOOTH | WS_BORDER};
        case ControlKind::GroupBox: return {"#128", 0xF, BS_GROUPBOX, 0};
        case ControlKind::Icon: return {"#130", SS_TYPEMASK, SS_ICON, 0};
    }
    return {};
}

// The resource compiler may name a system class or give its ordinal; both mean the same class.
std::string ClassOf(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "BUTTON") return "#128";
    if (name == "STATIC") return "#130";
    if (name == "COMBOBOX") return "#133";
    return name;
}

TEST(WindowsLayout, TheCompiledDialogIsTheLayoutTable) {
    const SCompiledDialog dialog = ReadMainDialog();
    EXPECT_EQ(dialog.cx, kDialogWidthDlu);
    EXPECT_EQ(dialog.cy, kDialogHeightDlu);
    EXPECT_EQ(dialog.style & (DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU),
              static_cast<std::uint32_t>(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.face, "Microsoft Sans Serif");
    ASSERT_EQ(dialog.items.size(), kMainDialogLayout.size());
    for (std::size_t i = 0; i < kMainDialogLayout.size(); ++i) {
        const SControlLayout& row = kMainDialogLayout[i];
        const SCompiledItem& item = dialog.items[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(item.id, row.id);
        EXPECT_EQ(item.x, row.x);
        EXPECT_EQ(item.y, row.y);
        EXPECT_EQ(item.cx, row.cx);
        EXPECT_EQ(item.cy, row.cy);
        const SKindForm form = FormOf(row.kind);
        EXPECT_EQ(ClassOf(item.className), ClassOf(form.className));
        EXPECT_EQ(item.style & form.typeMask, form.type);
        EXPECT_EQ(item.style & form.flags, form.flags);
        // Only Load starts disabled.
        EXPECT_EQ((item.style & WS_DISABLED) != 0, row.kind == ControlKind::DefaultButton);
        if (row.kind == ControlKind::Picture) {
            EXPECT_EQ(item.text, "#" + std::to_string(IDB_BANNER));
        } else if (row.kind == ControlKind::Icon) {
            EXPECT_EQ(item.text, "#174");  // the program's warning icon, not the system's
        } else {
            EXPECT_EQ(item.text, row.text != nullptr ? row.text : "");
        }
    }
}

class WindowsWindow : public ::testing::Test {
protected:
    void SetUp() override {
        InitDialogClasses();
        dialog_ = std::make_unique<CZentrelDlg>(&state_);
        dialog_->Controller().SetPortDiscovery(
            [](CArray<SSerInfo, SSerInfo&>& list) { list.clear(); });
        window_ = dialog_->Create();
        ASSERT_NE(window_, nullptr);
    }
    SLoaderState state_;
    std::unique_ptr<CZentrelDlg> dialog_;
    HWND window_ = nullptr;
};

SIZE BitmapSize(HBITMAP bitmap) {
    BITMAP info{};
    ::GetObjectA(bitmap, sizeof info, &info);
    return {info.bmWidth, info.bmHeight};
}

SIZE IconSize(HICON icon) {
    ICONINFO info{};
    if (icon == nullptr || !::GetIconInfo(icon, &info)) return {0, 0};
    SIZE size = BitmapSize(info.hbmMask);
    if (info.hbmColor == nullptr) size.cy /= 2;  // a monochrome icon stacks image and mask
    ::DeleteObject(info.hbmMask);
    if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
    return size;
}

TEST_F(WindowsWindow, StartsWithTheProgramsTextsAndArtwork) {
    EXPECT_EQ(Text(window_), "Tundro W6 Firmware v1.22");
    EXPECT_EQ(Text(Item(window_, IDC_FIRMWARE_TO_LOAD)), "Firmware to be Loaded: 1.22");
    EXPECT_EQ(Text(Item(window_, IDC_INSTRUCTIONS)),
              "1. Connect the Tundro W6 to the PC with a serial cable\n2. Select the PC Comport\n"
              "3. Click Load\n4. Wait for load to Complete.");
    EXPECT_EQ(Text(Item(window_, IDC_WARNING)).rfind("WARNING: If the device is disconnected", 0),
              0u);
    for (int id : {IDC_STATUS, IDC_FIRMWARE_ON_DEVICE, IDC_PROGRESS_TEXT, IDC_PERCENT,
                   IDC_REMAINING_TIME, IDC_COMPORT_LABEL}) {
        for (const SControlLayout& row : kMainDialogLayout) {
            if (row.id == id) {
                EXPECT_EQ(Text(Item(window_, id)), row.text) << row.name;
            }
        }
    }

    // The 497 x 99 banner at the screen's scale, whole in its frame: neither squeezed nor
    // stretched out of proportion. The icons take the system's icon size.
    HDC screen = ::GetDC(window_);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(window_, screen);
    HWND bannerControl = Item(window_, IDC_BANNER);
    const SIZE bannerSize = BitmapSize(
        reinterpret_cast<HBITMAP>(::SendMessageA(bannerControl, STM_GETIMAGE, IMAGE_BITMAP, 0)));
    EXPECT_EQ(bannerSize.cx, ::MulDiv(497, dpi, 96)) << dpi << " dpi";
    EXPECT_EQ(bannerSize.cy, ::MulDiv(99, dpi, 96)) << dpi << " dpi";
    RECT frame;
    ::GetClientRect(bannerControl, &frame);
    EXPECT_EQ(frame.right, bannerSize.cx);
    EXPECT_EQ(frame.bottom, bannerSize.cy);
    const int iconSize = ::GetSystemMetrics(SM_CXICON);
    const SIZE warningSize = IconSize(reinterpret_cast<HICON>(
        ::SendMessageA(Item(window_, IDC_WARNING_ICON), STM_GETICON, 0, 0)));
    EXPECT_EQ(warningSize.cx, iconSize);
    EXPECT_EQ(warningSize.cy, iconSize);
    const SIZE appIconSize =
        IconSize(reinterpret_cast<HICON>(::SendMessageA(window_, WM_GETICON, ICON_BIG, 0)));
    EXPECT_EQ(appIconSize.cx, iconSize);

    // Every control lies inside the window, pictures and their frames included.
    RECT client;
    ::GetClientRect(window_, &client);
    for (const SControlLayout& row : kMainDialogLayout) {
        RECT rect;
        ::GetWindowRect(Item(window_, row.id), &rect);
        ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
        EXPECT_TRUE(rect.left >= 0 && rect.top >= 0 && rect.right <= client.right &&
                    rect.bottom <= client.bottom)
            << row.name;
    }
    // The banner, sized to its picture, stays above the boxes below it.
    RECT banner;
    RECT boxes;
    ::GetWindowRect(bannerControl, &banner);
    ::GetWindowRect(Item(window_, IDC_SETUP_GROUP), &boxes);
    EXPECT_LE(banner.bottom, boxes.top) << dpi << " dpi";
}

// Whether `text` shows whole in the static control `id`, in the dialog's font, wrapped at
// blanks as the control wraps it.
::testing::AssertionResult Fits(HWND dialog, int id, const std::string& text) {
    HWND control = Item(dialog, id);
    RECT room;
    ::GetClientRect(control, &room);
    HDC dc = ::GetDC(control);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0)));
    RECT needed{0, 0, room.right, 0};
    ::DrawTextA(dc, text.c_str(), -1, &needed,
                DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    if (needed.right <= room.right && needed.bottom <= room.bottom)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << id << ": \"" << text << "\" needs " << needed.right << "x" << needed.bottom
           << ", has " << room.right << "x" << room.bottom;
}

TEST_F(WindowsWindow, EveryTextTheWindowCanShowFits) {
    // The status texts the program's loaders write. Two texts of codes no loader here writes
    // ("Status: Update Aborted, No Update Required", "Status: Resending Entire Firmware Image")
    // are wider than the status line in the dialog's font.
    for (const std::int32_t code :
         {STATUS_NOT_CONNECTED, STATUS_DETECTING_BAUD, STATUS_CONNECTED, STATUS_INVALID_PORT,
          STATUS_DETECTING_FIRMWARE, STATUS_IMAGE_NOT_FOUND, STATUS_FIRMWARE_COMPLETE,
          STATUS_UPDATING_FIRMWARE, STATUS_DEVICE_NOT_DETECTED, STATUS_WAITING}) {
        EXPECT_TRUE(Fits(window_, IDC_STATUS, std::string(LinesForStatus(code)->text)));
    }
    // A device's version text is at most ten characters.
    EXPECT_TRUE(Fits(window_, IDC_FIRMWARE_ON_DEVICE, "Firmware on Device: 88.88.8888"));
    EXPECT_TRUE(Fits(window_, IDC_FIRMWARE_TO_LOAD, Text(Item(window_, IDC_FIRMWARE_TO_LOAD))));
    const auto total = static_cast<unsigned>(EmbeddedFirmwareImage().size());
    EXPECT_TRUE(Fits(window_, IDC_PROGRESS_TEXT, Format("Progress: %u/%u", total, total)));
    EXPECT_TRUE(Fits(window_, IDC_PERCENT, "100%"));
    // Far more than a transfer of the image at the working rate can take.
    EXPECT_TRUE(Fits(window_, IDC_REMAINING_TIME, "Remaining Time: 59 minutes 59 seconds"));
    EXPECT_TRUE(Fits(window_, IDC_COMPORT_LABEL, "Com Port"));
    EXPECT_TRUE(Fits(window_, IDC_INSTRUCTIONS, Text(Item(window_, IDC_INSTRUCTIONS))));
    EXPECT_TRUE(Fits(window_, IDC_WARNING, Text(Item(window_, IDC_WARNING))));
    EXPECT_TRUE(Fits(window_, IDC_LOAD, "Load"));
    EXPECT_TRUE(Fits(window_, IDC_EXIT, "Exit"));
}

}  // namespace
}  // namespace morvane::testing_win32
