#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "panels/messageboxes.h"

#include <QList>
#include <QString>
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

#endif // TESTSUPPORT_H
