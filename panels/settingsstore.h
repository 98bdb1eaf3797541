#ifndef SETTINGSSTORE_H
#define SETTINGSSTORE_H

class ConfigFile;

// Stores a settings file for a panel and tells the operator when it cannot be written, so that
// changes never vanish unnoticed at the next start.
class SettingsStore
{
public:
    enum Result
    {
        Stored = 0,
        // The file could not be loaded and its problems are still to be shown at start: it is
        // not replaced yet, and the change is stored at a later save.
        Deferred = 1,
        // Not written; the operator was shown a critical box naming the file.
        Failed = -1,
    };

    static Result save(ConfigFile *config);
};

#endif // SETTINGSSTORE_H
