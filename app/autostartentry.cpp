#include "autostartentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const char packagedStation[] = "/usr/lib/hydrovane/hydrovane";
const char packagedLauncher[] = "/usr/bin/hydrovane";
const char packagedStationDir[] = "/var/lib/hydrovane";

// Quotes an argument of Exec= the way desktop entries require for reserved characters.
QString quoted(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    bool plain = !argument.isEmpty();
    for (const QChar c : argument)
        plain = plain && !reserved.contains(c);
    if (plain)
        return argument;
    QString text = argument;
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    for (const char *special : {"\"", "`", "$"})
        text.replace(QLatin1String(special), QLatin1Char('\\') + QLatin1String(special));
    text.replace(QLatin1Char('%'), QStringLiteral("%%"));
    // The value itself is unescaped once more by the key file parser.
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QString AutostartEntry::path()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/hydrovane.desktop");
}

bool AutostartEntry::isEnabled()
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.read(64 * 1024);
    return !text.contains("\nHidden=true") && !text.contains("\nX-GNOME-Autostart-enabled=false");
}

QString AutostartEntry::command(const QString &executable, const QString &stationDir)
{
    const QString connect = QStringLiteral("--connect");
    if (QFileInfo(executable).canonicalFilePath() == QLatin1String(packagedStation) &&
        QFileInfo::exists(QLatin1String(packagedLauncher))) {
        if (QFileInfo(stationDir).canonicalFilePath() ==
            QFileInfo(QLatin1String(packagedStationDir)).canonicalFilePath())
            return QLatin1String(packagedLauncher) + QLatin1Char(' ') + connect;
        return QStringList{QLatin1String(packagedLauncher), QStringLiteral("--station"),
                           quoted(stationDir), connect}
            .join(QLatin1Char(' '));
    }
    return QStringList{quoted(executable), QStringLiteral("--station"), quoted(stationDir), connect}
        .join(QLatin1Char(' '));
}

int AutostartEntry::enable(const QString &command)
{
    const QString file = path();
    if (!QDir().mkpath(QFileInfo(file).path()))
        return -1;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Water Quality Monitoring\n"
                                        "Name[zh_CN]=水质在线监测\n"
                                        "Comment[zh_CN]=开机自动启动并打开串口\n"
                                        "Exec=%1\n"
                                        "Icon=hydrovane\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(command);
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(text.toUtf8()) < 0)
        return -1;
    return out.commit() ? 0 : -1;
}

int AutostartEntry::disable()
{
    const QString file = path();
    if (!QFileInfo::exists(file) && !QFileInfo(file).isSymLink())
        return 0;
    return QFile::remove(file) ? 0 : -1;
}
