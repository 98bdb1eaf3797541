#ifndef SETTINGSSTORE_H
#define SETTINGSSTORE_H

#include <QString>

class ConfigFile;

// Stores a settings file and says whether it reached the disk; the panels tell the operator
// (MessageBoxes::storeSettings), so that changes never vanish unnoticed at the next start.
class SettingsStore
{
public:
    enum Result
    {
        Stored = 0,
        // The file could not be loaded and its problems are still to be shown at start: it is
        // not replaced yet, and the change is stored at a later save.
        Deferred = 1,
        // Not written.
        Failed = -1,
    };

    static Result save(ConfigFile *config);
    // The operator's text of a failed store of `config`.
    static QString failureText(const ConfigFile *config);
};

#endif // SETTINGSSTORE_H
