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

// One JSON settings file held in memory: ComPort.json (the first line, serial), Lines.json
// (the station's further lines, serial or Modbus TCP), Monitor.json (the read interval and the
// monitors), Mqtt.json (publishing to an MQTT broker) or Hj212.json (uploads to environmental
// platforms). The
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
    // Monitor.json of a large station: 10,000 monitors with own alarm filters and a line
    // each take about 4 MiB as written.
    static constexpr long long maxMonitorFileSize = 16 << 20;
    // Lines of a station in all, the first line (ComPort.json) included.
    static constexpr int maxLines = 8;
    // Of the first line when ComPort.json names none.
    static const char *const firstLineName;
    // Deeper documents are refused: writing one back recurses as deep and multiplies its
    // size with the indentation.
    static constexpr int maxDepth = 64;

    // Files larger than `sizeLimit` bytes are not read, and not written.
    explicit ConfigFile(const char *path, long long sizeLimit = maxFileSize);

    // 0 when the file was read or does not exist; -1 when it could not be used at all (the
    // document is then null).
    int load();
    // Writes the document, replacing the file only once the new text is complete.
    // 0 written; -1 nothing written: the file could not be written, the text would exceed
    // the size limit, or the file could not be loaded and the operator has not been told yet.
    int save();

    // Of ComPort.json, the station's first line (serial, named by the optional "name", else
    // firstLineName). Values outside what a serial line takes are reported and replaced by
    // the link's defaults.
    void readComPort(ComPortCtrl *ctrl);
    // A file without "name" gets none while the line keeps firstLineName.
    void writeComPort(const ComPortCtrl *ctrl);
    // Of Lines.json: a new ComPortCtrl (the caller owns it) for every usable entry of "lines",
    // appended to `lines` in file order. `lines` holds the first line on entry: names and
    // serial devices must differ from those of every earlier line. Entries that cannot be
    // used (not an object, unknown "type", a missing, empty, control-character or taken name,
    // a serial device taken, a TCP line without a usable host or port, beyond maxLines) are
    // reported and stay in the file; serial values out of range are replaced as readComPort
    // does. Each line read is tied to its own entry.
    void readLines(std::vector<ComPortCtrl *> &lines);
    // Writes the settings of a line into its own entry, keeping keys the station does not
    // know; a line without one (not read from this file) gets a new entry.
    void writeLine(const ComPortCtrl *ctrl);
    // Drops the line's own entry, if it has one.
    void removeLine(const ComPortCtrl *ctrl);
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
    // `lineNames` are the names of the station's lines, the first line first. A monitor's
    // optional "line" names its line (MonitorBase::setLine, setLineIndex); without one it is
    // on the first line. A monitor naming no line of the station, or holding a "line" that is
    // not text, is loaded but not polled (line index -1) and reported. Ids repeated on one
    // line are reported; on different lines they are different instruments.
    void readMonitors(MonitorCollection *collection,
                      const std::vector<std::string> &lineNames = {firstLineName});
    void appendMonitor(const MonitorBase *monitor);
    void removeMonitor(const MonitorBase *monitor);
    // Updates the interval and the known keys of each monitor's entry in place, appends
    // entries for monitors that have none and drops those of monitors no longer in the
    // collection; entries the station did not load stay where they are. "line" is written
    // for monitors that have one; an unusable one the file holds stays as it is while the
    // monitor is not polled.
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
    // Reads one integer of `object` that `accepted` must allow; otherwise reports it after
    // `at` with `range` and leaves `value` as it was.
    void readBounded(const nlohmann::json &object, const std::string &at, const char *key,
                     int &value, bool (*accepted)(int), const char *range);
    // The serial settings of `object` (ComPort.json, or an entry of Lines.json) into `ctrl`;
    // problems are reported after `at`, the place in the file.
    void readSerial(const nlohmann::json &object, const std::string &at, ComPortCtrl *ctrl);
    void readTimeout(const nlohmann::json &object, const std::string &at, ComPortCtrl *ctrl);
    static void writeSerial(nlohmann::json &object, const ComPortCtrl *ctrl);
    static void writeTimeout(nlohmann::json &object, const ComPortCtrl *ctrl);
    // What is wrong with the "name" of `object` as a line's name, after the place in the
    // file; empty when `name` got a usable one.
    static std::string lineNameProblem(const nlohmann::json &object, std::string &name);
    ComPortCtrl *readLine(const nlohmann::json &entry, int position,
                          const std::vector<ComPortCtrl *> &lines);
    // The "lines" array, made one if it is not; `lineOwners` is kept as long as it.
    nlohmann::json &lineList();
    int lineEntryOf(const ComPortCtrl *ctrl) const;
    void readMonitorLine(const nlohmann::json &entry, const std::string &where,
                         MonitorBase *monitor, const std::vector<std::string> &lineNames);
    // Reports monitors of lines the station lacks, and ids repeated on one line; `loaded`
    // holds the monitor of each entry, in file order.
    void reportLines(const std::vector<const MonitorBase *> &loaded,
                     const std::vector<std::string> &lineNames);
    // Reads the optional "alarmFilter" object of `object` over `filter`: keys it lacks keep
    // their values; a wrongly typed or out-of-range one is reported (where) and keeps its
    // value. Returns whether the object is there.
    bool readAlarmFilter(const nlohmann::json &object, const std::string &where,
                         AlarmFilter &filter);
    static nlohmann::json alarmFilterJson(const AlarmFilter &filter);
    const MonitorBase *readEntry(const nlohmann::json &entry, int position,
                                 MonitorCollection *collection,
                                 const std::vector<std::string> &lineNames);
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
    long long sizeLimit;
    nlohmann::json document;
    std::string loadedText; // as read, for the copy
    bool fromFile = false;  // the document holds a parsed file, not the defaults
    bool held = false;      // loading failed and the operator has not been told yet
    CopySource copySource = NoCopy;
    bool copied = false;
    // The monitor each entry of "monitor" belongs to; null for entries not loaded.
    std::vector<const MonitorBase *> owners;
    // The line each entry of "lines" belongs to; null for entries not loaded.
    std::vector<const ComPortCtrl *> lineOwners;
    std::vector<std::string> problemList;
};

#endif // CONFIGFILE_H
