#pragma once

#include <QCoreApplication>
#include <QString>

namespace engine {

// The engine's own words (reasons, notes, the completion message's counts, the progress line) are
// translated in the engine's context, so a translation of the window is not needed to translate the
// command line. The few texts the window shows word for word as its own (its progress label, the two
// lines of its completion message) are the form's: formText keeps them in the form's context.
inline QString engineText(const char *text)
{
    return QCoreApplication::translate("engine", text);
}

inline QString formText(const char *text)
{
    return QCoreApplication::translate("PelmoraForm", text);
}

} // namespace engine
