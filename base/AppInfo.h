#pragma once

#include <QString>

// The program's title, version and the places it reads from the system. Stateless: every call reads
// the system again, nothing is cached.
class AppInfo {
public:
    static QString appTitle();
    // "1.4.0": the three version constants in decimal, joined with ".".
    static QString versionString();
    // The folder holding the model files (see Platform::installFolder).
    static QString installFolder();
    // Where the GPU drivers' compiled pipelines are kept between runs: "brivelle" in the user's
    // cache folder ($XDG_CACHE_HOME, ~/.cache).
    static QString pipelineCacheFolder();
    // The user's Pictures folder, or an empty string.
    static QString picturesFolder();
    // Opens the vendor's web site root in the default browser. Returns whether the system took it;
    // the caller tells the user when it did not.
    static bool openWebSite();
};
