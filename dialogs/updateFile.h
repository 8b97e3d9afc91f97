#pragma once

#include <QString>

// A version named by the vendor's update file; a number the file does not name stays 0.
struct UpdateVersion {
    int majorNumber = 0;
    int minorNumber = 0;
    int subMinorNumber = 0;
};

// Reads ";"-separated key=value entries. Only carriage return + line feed pairs are removed, and
// nothing is trimmed, so the deployed files that rely on that exact reading keep working.
UpdateVersion parseUpdateFile(const QString &text);

// Whether a response names at least one of the three version keys with a number: an error page or a
// portal's login page served with status 200 is no update file and says nothing about versions.
bool isUpdateFile(const QString &text);

// Lexicographic over major, minor, sub-minor; an equal version is not newer.
bool isNewerVersion(const UpdateVersion &latest, const UpdateVersion &installed);

// The version this build carries.
UpdateVersion installedVersion();

// What the dialog shows once the request has ended.
enum class UpdateCheckOutcome {
    UpdateAvailable,
    UpToDate,
    // The request failed (no connection, DNS or HTTP error) or its answer was no update file: nothing
    // is known about newer versions.
    CheckFailed,
};

UpdateCheckOutcome updateCheckOutcome(bool requestFailed, const UpdateVersion &latest,
                                      const UpdateVersion &installed);
