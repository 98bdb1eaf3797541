#ifndef MESSAGEBOXES_H
#define MESSAGEBOXES_H

#include "settings/settingsstore.h"

#include <QMessageBox>
#include <QString>

#include <functional>

// Every modal message box of the station goes through here: boxes without parent, exactly
// the given title, text and buttons, each also written to the log by its level. Tests install
// a responder that answers instead.
class MessageBoxes
{
public:
    struct Box
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
    };
    using Responder = std::function<QMessageBox::StandardButton(const Box &)>;

    // Title "错误"-style refusals and failures: one OK button.
    static QMessageBox::StandardButton critical(const QString &title, const QString &text);
    // Results: one OK button.
    static QMessageBox::StandardButton information(const QString &title, const QString &text);
    // Questions and warnings; the default button is the one Enter answers.
    static QMessageBox::StandardButton
    warning(const QString &title, const QString &text,
            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    // The refusal of adding, removing and maintenance while the line is on.
    // Stores a settings file; a failure is shown as a critical box naming the file.
    static SettingsStore::Result storeSettings(ConfigFile *config);
    static void rejectWhileRunning();
    // The refusal of a maintenance command to anyone but a signed-in administrator.
    static void rejectWithoutAdministrator();
    // Its text, also the tooltip of the controls that are locked for the same reason.
    static QString administratorRequired();

    // Replaces the real boxes; an empty responder restores them.
    static void setResponder(Responder responder);
    // Nobody is at the screen (a stop asked from outside): no box is shown or handed to the
    // responder; each one goes only to the log and standard error and gets its default button,
    // else No, Cancel or OK, whichever it has.
    static void setUnattended(bool unattended);

private:
    static QMessageBox::StandardButton show(const Box &box);
};

#endif // MESSAGEBOXES_H
