#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "panels/messageboxes.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A temporary application directory that the registry points at for the fixture's life.
class TempStation
{
public:
    TempStation();
    ~TempStation();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString filePath(const QString &relative) const { return dir.filePath(relative); }
    // Writes a file below the directory, creating its folder.
    bool writeFile(const QString &relative, const QByteArray &content) const;
    QByteArray readFile(const QString &relative) const;

private:
    QTemporaryDir dir;
};

// Answers message boxes instead of showing them and remembers every box asked.
class MessageBoxRecorder
{
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();

    // Answers used in order; when they run out, boxes get their default button (or OK).
    void queueAnswer(QMessageBox::StandardButton answer) { answers.append(answer); }
    QList<MessageBoxes::Box> boxes;

private:
    QList<QMessageBox::StandardButton> answers;
};

// Runs statements on a database file through Debian's sqlite3 program, an independent reader
// without the key. Returns its exit code; output gets standard output and error.
int runPlainSqlite(const QString &file, const QString &sql, QString *output = nullptr);

// Opens a database file with the pass phrase through a connection of its own and returns each
// result row as its column texts joined by '|' (NULL as "<null>"). The result code goes to
// *result when given.
QStringList selectWithKey(const QString &file, const char *sql, int *result = nullptr);

#endif // TESTSUPPORT_H
