#include "filedialogs.h"

#include <QFileDialog>

namespace {
FileDialogs::Chooser &chooser()
{
    static FileDialogs::Chooser current;
    return current;
}
} // namespace

QString FileDialogs::openFile(QWidget *parent, const QString &title, const QString &folder,
                              const QString &filter)
{
    if (chooser())
        return chooser()({title, folder, filter});
    QFileDialog dialog(parent, title, folder, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setViewMode(QFileDialog::Detail);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

void FileDialogs::setChooser(Chooser value)
{
    chooser() = std::move(value);
}
