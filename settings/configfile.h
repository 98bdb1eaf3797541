#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <map>

struct AlarmFilter;
class ComPortCtrl;
class MonitorBase;
class MonitorCollection;
struct Hj212Settings;
struct MqttSettings;

// One JSON settings file held in memory: ComPort.json (the serial line), Monitor.json
// (the read interval and the monitors), Mqtt.json (publishing to an MQTT broker) or Hj212.json
// (uploads to environmental platforms). The
// document is edited in place and written back whole; keys and entries the station does not
// know or could not use stay in it.
//
// A missing file gives the defaults silently. A file with any problem (it cannot be read
// or parsed, is too large or too deep, or holds a missing, wrongly typed or out-of-range
// value) is copied beside itself as `<path>.invalid`, `<path>.invalid.1`, ... (a copy that
// already holds the same bytes is reused), and each problem is described in `problems()`
// for the operator; loading goes on with the defaults or with what could be read. A file
// that could not be loaded at all is not replaced before the operator was told.
class ConfigFile
{
public:
    // A station's settings file is a few kilobytes; larger files are not read.
    static constexpr long long maxFileSize = 1 << 20;
    // Deeper documents are refused: writing one back recurses as deep and multiplies its
    // size with the indentation.
    static constexpr int maxDepth = 64;

    explicit ConfigFile(const char *path);

    // 0 when the file was read or does not exist; -1 when it could not be used at all (the
    // document is then null).
    int load();
    // Writes the document, replacing the file only once the new text is complete.
    // 0 written; -1 nothing written: the file could not be written, the text would exceed
    // maxFileSize, or the file could not be loaded and the operator has not been told yet.
    int save();

    // Values outside what a serial line takes are reported and replaced by the link's
    // defaults.
    void readComPort(ComPortCtrl *ctrl);
    void writeComPort(const ComPortCtrl *ctrl);
    // Keys the file lacks keep the values of `settings`; wrongly typed ones are reported and
    // keep them too. Settings that fail MqttSettings::validate() are reported and read with
    // publishing off, so that a broken file never publishes somewhere unintended.
    void readMqtt(MqttSettings &settings);
    void writeMqtt(const MqttSettings &settings);
    // Entries of a wrong type are reported and left out (a value of a platform keeps the
    // default); then every problem Hj212Settings::validate finds with the station's monitors
    // (name -> model) is reported. `settings` gets what the file holds: the uploader leaves out
    // what cannot be used itself.
    void readHj212(Hj212Settings &settings,
                   const std::map<std::string, std::string> &monitorModels);
    void writeHj212(const Hj212Settings &settings);
    // Of Monitor.json: the model of each monitor by name, as the document holds them now.
    std::map<std::string, std::string> monitorModels() const;
    // Each monitor created is tied to its own entry of "monitor": the entry it is removed
    // from and written to, whatever other entries hold the same values.
    void readMonitors(MonitorCollection *collection);
    void appendMonitor(const MonitorBase *monitor);
    void removeMonitor(const MonitorBase *monitor);
    // Updates the interval and the known keys of each monitor's entry in place, appends
    // entries for monitors that have none and drops those of monitors no longer in the
    // collection; entries the station did not load stay where they are.
    void writeMonitors(const MonitorCollection *collection);

    // Descriptions of what could not be used, in Chinese, each naming the file.
    const std::vector<std::string> &problems() const { return problemList; }
    // The operator has seen the problems: they are forgotten, and a file that could not be
    // loaded may be replaced from now on.
    void markProblemsShown();
    // Loading failed and the problems have not been shown yet: save() refuses until they are.
    bool isHeld() const { return held; }

    const std::string &getPath() const { return path; }
    const nlohmann::json &getDocument() const { return document; }

    // Whether the UTF-8 text holds a C0 or C1 control character or DEL.
    static bool hasControlCharacter(const std::string &text);

private:
    enum Check
    {
        Valid,
        Missing,
        WrongType,
        OutOfRange
    };
    // What a copy of the file is made from.
    enum CopySource
    {
        NoCopy,
        LoadedText,
        FileOnDisk
    };

    static std::string describe(Check check, const char *key, const char *type);
    static Check readInt(const nlohmann::json &object, const char *key, int &value);
    static Check readText(const nlohmann::json &object, const char *key, std::string &value);
    static Check readFlag(const nlohmann::json &object, const char *key, bool &value);
    // Reads one top-level integer; on a problem reports it and leaves `value` as it was.
    // Returns whether it was read.
    bool readSetting(const char *key, int &value);
    // Reads one top-level integer that `accepted` must allow; otherwise reports it with
    // `range` and leaves `value` as it was.
    void readBounded(const char *key, int &value, bool (*accepted)(int), const char *range);
    // Reads the optional "alarmFilter" object of `object` over `filter`: keys it lacks keep
    // their values; a wrongly typed or out-of-range one is reported (where) and keeps its
    // value. Returns whether the object is there.
    bool readAlarmFilter(const nlohmann::json &object, const std::string &where,
                         AlarmFilter &filter);
    static nlohmann::json alarmFilterJson(const AlarmFilter &filter);
    const MonitorBase *readEntry(const nlohmann::json &entry, int position,
                                 MonitorCollection *collection);
    void reportNames(const std::vector<const MonitorBase *> &loaded);
    // The "monitor" array, made one if it is not; `owners` is kept as long as it.
    nlohmann::json &monitorList();
    int entryOf(const MonitorBase *monitor) const;
    static nlohmann::json entryFor(const MonitorBase *monitor);
    static void update(nlohmann::json &entry, const MonitorBase *monitor);
    int fail(const std::string &problem, CopySource source);
    void report(const std::string &problem);
    // Finds or makes the copy of the file; false when none could be made.
    bool keepCopy(std::string &copy) const;
    bool holdsSameBytes(const std::string &copy) const;
    static bool writeFile(const std::string &path, const std::string &text);

    std::string path;
    nlohmann::json document;
    std::string loadedText; // as read, for the copy
    bool fromFile = false;  // the document holds a parsed file, not the defaults
    bool held = false;      // loading failed and the operator has not been told yet
    CopySource copySource = NoCopy;
    bool copied = false;
    // The monitor each entry of "monitor" belongs to; null for entries not loaded.
    std::vector<const MonitorBase *> owners;
    std::vector<std::string> problemList;
};

#endif // CONFIGFILE_H
