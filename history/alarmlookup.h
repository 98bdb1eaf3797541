#ifndef ALARMLOOKUP_H
#define ALARMLOOKUP_H

#include "history/alarmresultmodel.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>

// The alarm lookup's file work on a worker thread: the names in the alarm log, the alarms of a
// time range and name, and their export to a workbook. Each job reads through a connection of
// its own, so the record writer is never kept waiting and a file imported meanwhile is read.
// Lives on its thread; cancel() is for any thread.
class AlarmLookup : public QObject
{
    Q_OBJECT

public:
    static const QString kSheetTitle;

    explicit AlarmLookup(const QString &recordFile, QObject *parent = nullptr);

    // Any thread: the running job stops and later ones do nothing; an export so stopped leaves
    // no file.
    void cancel();

public slots:
    void listNames();
    // from, to: "yyyy-MM-dd hh:mm:ss"; name empty for every instrument.
    void search(quint64 search, const QString &from, const QString &to, const QString &name);
    // path: a name reserved in the export folder; no file is left there unless saved.
    void exportTo(AlarmEntries alarms, const QString &path);

signals:
    void signal_names(QStringList names);
    // result: 0, AlarmReader::Cancelled, or the library's code with the alarms read before.
    void signal_found(quint64 search, AlarmEntries alarms, int result);
    void signal_exported(QString path, bool saved);

private:
    // Makes reader the one cancel() stops, or none.
    void track(AlarmReader *reader);

    const std::string recordFile;
    std::atomic<bool> cancelled{false};
    std::mutex readerMutex;
    AlarmReader *current = nullptr;
};

#endif // ALARMLOOKUP_H
