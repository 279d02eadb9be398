// The banner at the screen's scale, for the Windows window.
//
// No system header here, as for the dialog: only the source includes windows.h.
#pragma once

struct HWND__;

namespace morvane {

// Shows the banner of `dialog` at the screen's scale: its own pixels at 100 %, scaled as a whole
// (proportions kept, smoothed) at any other scale, with its frame sized to it. Left to the
// picture control, the banner would be stretched to the frame's dialog units, whose sides follow
// the font's rounded metrics rather than the scale: squeezed by a few rows, "W6" reads "WG".
void ShowBannerAtScreenScale(HWND__* dialog);

}  // namespace morvane
