#ifndef QTTRANSLATIONS_H
#define QTTRANSLATIONS_H

#include <QString>

// Qt's own Chinese texts (message box buttons, the file dialog), from the distribution's
// translations, so that they match the station's Chinese interface.
class QtTranslations
{
public:
    // Installs the Chinese translation of Qt's texts on the application, once; later calls do
    // nothing. Returns whether it is installed. folder defaults to Qt's translations folder.
    static bool install(const QString &folder = QString());
};

#endif // QTTRANSLATIONS_H
