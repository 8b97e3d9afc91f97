#pragma once

// The program's own version, shown by the about and update dialogs and compared by the update check.
// The executable's Windows version resource is independent of these numbers.
inline constexpr int majorVersion = 1;
inline constexpr int minorVersion = 4;
inline constexpr int subMinorVersion = 0;
