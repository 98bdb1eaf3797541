#ifndef FILEDIALOGS_H
#define FILEDIALOGS_H

#include <QString>

#include <functional>

class QWidget;

// The station's file choosers. Tests install a chooser that answers instead of a dialog.
class FileDialogs
{
public:
    struct Request
    {
        QString title;
        QString folder;
        QString filter;
    };
    using Chooser = std::function<QString(const Request &)>;

    // One existing file, shown in detail view; an empty text when the operator cancelled.
    static QString openFile(QWidget *parent, const QString &title, const QString &folder,
                            const QString &filter);

    // Replaces the dialog; an empty chooser restores it.
    static void setChooser(Chooser chooser);
};

#endif // FILEDIALOGS_H
