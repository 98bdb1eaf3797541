#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class ComPortCtrl;
class MonitorBase;
class MonitorCollection;

// One JSON settings file held in memory: ComPort.json (the serial line) or Monitor.json
// (the read interval and the monitors). The document is edited in place and written back
// whole; keys the station does not know stay in it.
//
// A missing file gives the defaults silently. A file that cannot be read or parsed, or
// holds a missing or wrongly typed value, is copied once to `<path>.invalid` before the
// station could overwrite it, and each problem is described in `problems()` for the
// operator; loading goes on with the defaults or with the entries that could be read.
class ConfigFile
{
public:
    explicit ConfigFile(const char *path);

    // 0 when the file was read or does not exist; -1 when it could not be read or parsed
    // (the document is then null).
    int load();
    // Writes the document, replacing the file only once the new text is complete.
    // 0 written, -1 the file could not be written and stays as it was.
    int save();

    void readComPort(ComPortCtrl *ctrl);
    void writeComPort(const ComPortCtrl *ctrl);
    void readMonitors(MonitorCollection *collection);
    void appendMonitor(const MonitorBase *monitor);
    void removeMonitor(const MonitorBase *monitor);
    void writeMonitors(const MonitorCollection *collection);

    // Descriptions of what could not be used, in Chinese, each naming the file.
    const std::vector<std::string> &problems() const { return problemList; }
    void clearProblems() { problemList.clear(); }

    const std::string &getPath() const { return path; }
    const nlohmann::json &getDocument() const { return document; }

private:
    enum Check
    {
        Valid,
        Missing,
        WrongType,
        OutOfRange
    };

    static std::string describe(Check check, const char *key, const char *type);
    static Check readInt(const nlohmann::json &object, const char *key, int &value);
    static Check readText(const nlohmann::json &object, const char *key, std::string &value);
    static Check readFlag(const nlohmann::json &object, const char *key, bool &value);
    // Reads one top-level integer; on a problem reports it and leaves `value` as it was.
    void readSetting(const char *key, int &value);
    void readEntry(const nlohmann::json &entry, int position, MonitorCollection *collection);
    void report(const std::string &problem);
    static bool writeFile(const std::string &path, const std::string &text);

    std::string path;
    nlohmann::json document;
    std::string loadedText; // as read, for the .invalid copy
    bool fromFile = false;  // the document holds a parsed file, not the defaults
    bool copied = false;
    std::vector<std::string> problemList;
};

#endif // CONFIGFILE_H
