// Any bytes as ComPort.json or Monitor.json: loading never crashes, never writes the file and
// keeps one copy of what it could not use, however often it starts; a file that could not be
// loaded is not replaced before its problems were shown; what is stored afterwards loads back
// unchanged. The first byte chooses the file; the rest is its content.

#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "settings/configfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <string>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static QTemporaryDir dir;
    const bool monitors = data[0] & 1;
    const std::string path =
        QDir(dir.path()).filePath(monitors ? "Monitor.json" : "ComPort.json").toStdString();
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
    ComPortCtrl ctrl;
    MonitorCollection collection;
    if (monitors)
        config.readMonitors(&collection);
    else
        config.readComPort(&ctrl);

    // Reading never writes the file; whatever could not be used is kept beside it.
    require(readAll(path) == content);
    if (!config.problems().empty() && !content.empty())
        require(readAll(path + ".invalid") == content);
    {
        // The next start finds the same bytes already kept.
        ConfigFile next(path.c_str());
        require(next.load() == loaded);
        ComPortCtrl nextCtrl;
        MonitorCollection nextCollection;
        if (monitors)
            next.readMonitors(&nextCollection);
        else
            next.readComPort(&nextCtrl);
        require(next.problems().size() == config.problems().size());
        require(!QFile::exists(QString::fromStdString(path + ".invalid.1")));
        for (MonitorBase *monitor : nextCollection.getMonitors())
            delete monitor;
    }

    // What is stored loads back to the same settings: storing them again changes no byte.
    if (monitors)
        config.writeMonitors(&collection);
    else
        config.writeComPort(&ctrl);
    if (loaded != 0) {
        require(config.save() == -1);
        require(readAll(path) == content);
    }
    config.markProblemsShown();
    if (config.save() == 0) {
        const std::string stored = readAll(path);
        ConfigFile again(path.c_str());
        require(again.load() == 0);
        MonitorCollection reloaded;
        ComPortCtrl reread;
        if (monitors) {
            again.readMonitors(&reloaded);
            require(reloaded.getMonitors().size() == collection.getMonitors().size());
            again.writeMonitors(&reloaded);
        } else {
            again.readComPort(&reread);
            again.writeComPort(&reread);
        }
        require(again.save() == 0);
        require(readAll(path) == stored);
        for (MonitorBase *monitor : reloaded.getMonitors())
            delete monitor;
    }
    for (MonitorBase *monitor : collection.getMonitors())
        delete monitor;
    return 0;
}
