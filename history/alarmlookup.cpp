#include "alarmlookup.h"

#include "acquisition/threadhandoff.h"
#include "history/recordworkbook.h"

#include <QFile>

const QString AlarmLookup::kSheetTitle = QStringLiteral("报警记录");

AlarmLookup::AlarmLookup(const QString &recordFile, QObject *parent)
    : QObject(parent), recordFile(recordFile.toStdString())
{
    qRegisterMetaType<AlarmEntries>();
}

void AlarmLookup::cancel()
{
    std::lock_guard<std::mutex> guard(readerMutex);
    cancelled = true;
    if (current)
        current->cancel();
}

void AlarmLookup::track(AlarmReader *reader)
{
    std::lock_guard<std::mutex> guard(readerMutex);
    current = reader;
    if (reader && cancelled)
        reader->cancel();
}

void AlarmLookup::listNames()
{
    std::vector<std::string> names;
    {
        AlarmReader reader(recordFile);
        track(&reader);
        reader.distinctNames(names);
        track(nullptr);
    }
    QStringList list;
    for (const std::string &name : names)
        list << QString::fromStdString(name);
    ThreadHandOff::release();
    emit signal_names(list);
}

void AlarmLookup::search(quint64 search, const QString &from, const QString &to,
                         const QString &name)
{
    ThreadHandOff::acquire();
    auto found = std::make_shared<std::vector<AlarmReader::Entry>>();
    int rc;
    {
        AlarmReader reader(recordFile);
        track(&reader);
        rc = reader.read(from.toStdString(), to.toStdString(), name.toStdString(), *found);
        track(nullptr);
    }
    ThreadHandOff::release();
    emit signal_found(search, found, rc);
}

void AlarmLookup::exportTo(AlarmEntries alarms, const QString &path)
{
    ThreadHandOff::acquire();
    bool saved = false;
    if (alarms && !cancelled) {
        RecordWorkbook workbook(path);
        workbook.beginSheet(kSheetTitle, RecordWorkbook::alarmHeaders());
        for (const AlarmReader::Entry &alarm : *alarms)
            if (cancelled || !workbook.appendAlarm(alarm))
                break;
        // An unsaved workbook removes its file as it goes.
        saved = !cancelled && workbook.save();
    } else {
        // The name was reserved with an empty file.
        QFile::remove(path);
    }
    ThreadHandOff::release();
    emit signal_exported(path, saved);
}
