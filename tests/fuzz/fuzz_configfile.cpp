// Any bytes as ComPort.json, Monitor.json or Lines.json: loading never crashes, never writes the
// file and keeps one copy of what it could not use, however often it starts; a file that could
// not be loaded is not replaced before its problems were shown; what is stored afterwards loads
// back unchanged. The first byte chooses the file (0 ComPort, 1 Monitor, 2 Lines, modulo 3); the
// rest is its content.

#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "settings/configfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string readAll(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::string("<missing>");
    return file.readAll().toStdString();
}

void require(bool condition)
{
    if (!condition)
        std::abort();
}

enum Kind
{
    Ports,
    Monitors,
    Lines
};

// What a station reads from the file; the lines are those beyond `first`.
struct Station
{
    Station() { first.setName(ConfigFile::firstLineName); }
    ~Station()
    {
        for (MonitorBase *monitor : collection.getMonitors())
            delete monitor;
        for (size_t i = 1; i < lines.size(); ++i)
            delete lines[i];
    }
    void read(ConfigFile &file, Kind kind)
    {
        if (kind == Ports) {
            file.readComPort(&first);
        } else if (kind == Monitors) {
            // A line of the file is, or is not, one of the station's.
            file.readMonitors(&collection, {ConfigFile::firstLineName, "二期", "a"});
        } else {
            lines = {&first};
            file.readLines(lines);
        }
    }
    void write(ConfigFile &file, Kind kind) const
    {
        if (kind == Ports) {
            file.writeComPort(&first);
        } else if (kind == Monitors) {
            file.writeMonitors(&collection);
        } else {
            for (size_t i = 1; i < lines.size(); ++i)
                file.writeLine(lines[i]);
        }
    }

    ComPortCtrl first;
    MonitorCollection collection;
    std::vector<ComPortCtrl *> lines;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static QTemporaryDir dir;
    const Kind kind = Kind(data[0] % 3);
    const char *const names[] = {"ComPort.json", "Monitor.json", "Lines.json"};
    const std::string path = QDir(dir.path()).filePath(names[kind]).toStdString();
    const std::string content(reinterpret_cast<const char *>(data + 1), size - 1);
    for (const QString &copy : QDir(dir.path()).entryList({"*.invalid*"}, QDir::Files))
        QFile::remove(QDir(dir.path()).filePath(copy));
    {
        QFile file(QString::fromStdString(path));
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(file.write(content.data(), qint64(content.size())) == qint64(content.size()));
    }

    ConfigFile config(path.c_str());
    const int loaded = config.load();
    Station station;
    station.read(config, kind);

    // Reading never writes the file; whatever could not be used is kept beside it.
    require(readAll(path) == content);
    if (!config.problems().empty() && !content.empty())
        require(readAll(path + ".invalid") == content);
    {
        // The next start finds the same bytes already kept.
        ConfigFile next(path.c_str());
        require(next.load() == loaded);
        Station nextStation;
        nextStation.read(next, kind);
        require(next.problems().size() == config.problems().size());
        require(!QFile::exists(QString::fromStdString(path + ".invalid.1")));
    }

    // What is stored loads back to the same settings: storing them again changes no byte.
    station.write(config, kind);
    if (loaded != 0) {
        require(config.save() == -1);
        require(readAll(path) == content);
    }
    config.markProblemsShown();
    if (config.save() == 0) {
        const std::string stored = readAll(path);
        ConfigFile again(path.c_str());
        require(again.load() == 0);
        Station reloaded;
        reloaded.read(again, kind);
        require(reloaded.collection.getMonitors().size() ==
                station.collection.getMonitors().size());
        require(reloaded.lines.size() == station.lines.size());
        reloaded.write(again, kind);
        require(again.save() == 0);
        require(readAll(path) == stored);
    }
    return 0;
}
