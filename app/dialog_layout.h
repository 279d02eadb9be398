// The window's controls from the layout table (resource.h): dialog units turned into pixels the
// way Windows does it, and one Qt widget per row, in the table's tab order.
#pragma once

#include <map>

#include <QRect>
#include <QSize>

class QFont;
class QWidget;

namespace morvane {

// Dialog base units the way Windows takes them from a dialog's font: the average width of the
// 52 Latin letters (rounded) and the font's height. Layouts are written in quarters of the
// first and eighths of the second, so the window keeps its proportions in any font.
[[nodiscard]] QSize DialogBaseUnits(const QFont& font);
[[nodiscard]] QRect MapDialogRect(const QRect& dialogUnits, const QSize& baseUnits);

// Creates the controls of the main dialog's layout as children of `dialog`, placed and chained
// in tab order; returns them by control id.
std::map<int, QWidget*> CreateDialogControls(QWidget* dialog, const QSize& baseUnits);

}  // namespace morvane
