#pragma once

class QPalette;

// Whether the platform shows a dark colour scheme, which selects the white icon family.
namespace ColorScheme {

// Dark when the window colour is darker than mid-grey. Qt before 6.5 reports no scheme, but every
// platform theme that switches to dark hands the application a dark palette.
bool paletteIsDark(const QPalette &palette);

// Qt's own scheme where it has one (light and unknown both count as not dark), the palette otherwise.
bool isDark();

} // namespace ColorScheme
