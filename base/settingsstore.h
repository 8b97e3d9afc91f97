#pragma once

// The per-user settings store of the options and the window geometry. Each access opens it anew
// with these names; the application object carries none.
namespace SettingsStore {
inline constexpr char organization[] = "Corvane";
inline constexpr char application[] = "Pelmora";
} // namespace SettingsStore
