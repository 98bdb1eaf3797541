#include "qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool QtTranslations::install(const QString &folder)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return false;
    const QString name = QStringLiteral("hydrovaneQtTranslations");
    if (application->findChild<QTranslator *>(name, Qt::FindDirectChildrenOnly))
        return true;
    const QString from =
        folder.isEmpty() ? QLibraryInfo::location(QLibraryInfo::TranslationsPath) : folder;
    auto *translator = new QTranslator(application);
    translator->setObjectName(name);
    // qt_zh_CN only names the module catalogues; it fails when one of them is missing, and the
    // widgets' texts are all in qtbase.
    if (!translator->load(QStringLiteral("qt_zh_CN"), from) &&
        !translator->load(QStringLiteral("qtbase_zh_CN"), from)) {
        delete translator;
        return false;
    }
    application->installTranslator(translator);
    return true;
}
