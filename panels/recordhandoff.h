#ifndef RECORDHANDOFF_H
#define RECORDHANDOFF_H

#include "storage/recordrow.h"

#include <QObject>

#include <vector>

class QThread;
class RecordWriter;

// The record writer thread all instrument pages share, and the hand-over of their rows to it.
// A thread per page would cost thousands of threads in a large station, and the rows all go
// to one database anyway. Made with the first page (acquire), ended with the last (release).
//
// Rows added while a pass is open (Pass) go to the writer together when the last Pass closes:
// one queued call and one transaction for a whole pass instead of one per row. A row added
// outside a pass is handed over at once.
class RecordHandOff : public QObject
{
    Q_OBJECT

public:
    static RecordHandOff *acquire();
    static void release();
    // The shared hand-over while a page exists, else null.
    static RecordHandOff *current();

    // Keeps the rows added while it lives for one hand-over. Nests.
    class Pass
    {
    public:
        Pass();
        ~Pass();
        Pass(const Pass &) = delete;
        Pass &operator=(const Pass &) = delete;
    };

    RecordWriter *writer() const { return recordWriter; }
    void add(const RecordRow &row);
    // Hands what was added so far to the writer.
    void handOver();
    // Hands over what was added, then blocks until the writer stored every row it was given.
    void waitForStored();

signals:
    // rows: a std::vector<RecordRow> of count rows the writer takes over.
    void signal_rows(void *sender, void *rows, int count);

private:
    RecordHandOff();
    ~RecordHandOff() override;

    RecordWriter *recordWriter;
    QThread *thread;
    std::vector<RecordRow> pending;
    int users = 0;
};

#endif // RECORDHANDOFF_H
