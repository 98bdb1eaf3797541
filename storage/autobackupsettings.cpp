#include "autobackupsettings.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <nlohmann/json.hpp>

namespace {

const char *const modeNames[] = {"off", "daily", "weekly"};
const char *const weekdayNames[] = {"一", "二", "三", "四", "五", "六", "日"};

} // namespace

bool AutoBackupSettings::operator==(const AutoBackupSettings &other) const
{
    return mode == other.mode && at == other.at && weekday == other.weekday &&
           secondFolder == other.secondFolder && keep == other.keep;
}

int AutoBackupSettings::load(const QString &path, AutoBackupSettings *settings, QString *problem)
{
    *settings = AutoBackupSettings();
    problem->clear();
    QFile file(path);
    if (!file.exists())
        return 0;
    const QString name = QDir::toNativeSeparators(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1 无法读取，自动备份按默认设置运行。").arg(name);
        return -1;
    }
    const nlohmann::json document =
        nlohmann::json::parse(file.read(64 * 1024).toStdString(), nullptr, false);
    if (!document.is_object()) {
        *problem = QStringLiteral("%1 不是有效的设置文件，自动备份按默认设置运行。").arg(name);
        return -1;
    }
    QStringList wrong;
    const auto mode = document.find("mode");
    if (mode != document.end()) {
        bool known = false;
        for (int i = 0; i < 3; ++i) {
            if (mode->is_string() && mode->get<std::string>() == modeNames[i]) {
                settings->mode = Mode(i);
                known = true;
            }
        }
        if (!known)
            wrong << QStringLiteral("mode");
    }
    const auto at = document.find("time");
    if (at != document.end()) {
        const QTime time = at->is_string()
                               ? QTime::fromString(QString::fromStdString(at->get<std::string>()),
                                                   QStringLiteral("HH:mm"))
                               : QTime();
        if (time.isValid())
            settings->at = time;
        else
            wrong << QStringLiteral("time");
    }
    const auto weekday = document.find("weekday");
    if (weekday != document.end()) {
        if (weekday->is_number_integer() && weekday->get<int>() >= 1 && weekday->get<int>() <= 7)
            settings->weekday = weekday->get<int>();
        else
            wrong << QStringLiteral("weekday");
    }
    const auto second = document.find("secondFolder");
    if (second != document.end()) {
        if (second->is_string())
            settings->secondFolder = QString::fromStdString(second->get<std::string>());
        else
            wrong << QStringLiteral("secondFolder");
    }
    const auto keep = document.find("keep");
    if (keep != document.end()) {
        if (keep->is_number_integer() && keep->get<int>() >= 1 && keep->get<int>() <= maxKeep)
            settings->keep = keep->get<int>();
        else
            wrong << QStringLiteral("keep");
    }
    if (!wrong.isEmpty())
        *problem = QStringLiteral("%1 中的 %2 无效，已按默认值使用。")
                       .arg(name, wrong.join(QStringLiteral("、")));
    return 0;
}

int AutoBackupSettings::save(const QString &path) const
{
    nlohmann::json document = {{"mode", modeNames[mode]},
                               {"time", at.toString(QStringLiteral("HH:mm")).toStdString()},
                               {"weekday", weekday},
                               {"secondFolder", secondFolder.toStdString()},
                               {"keep", keep}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return -1;
    const std::string text = document.dump(4) + "\n";
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size()))
        return -1;
    return file.commit() ? 0 : -1;
}

QString AutoBackupSettings::describe() const
{
    if (mode == Off)
        return QStringLiteral("自动备份关闭");
    QString text = mode == Daily ? QStringLiteral("每天 ")
                                 : QStringLiteral("每周%1 ").arg(
                                       QString::fromUtf8(weekdayNames[qBound(1, weekday, 7) - 1]));
    text += at.toString(QStringLiteral("HH:mm")) + QStringLiteral(",保留 %1 份").arg(keep);
    if (!secondFolder.isEmpty())
        text += QStringLiteral(",另存到 ") + QDir::toNativeSeparators(secondFolder);
    return text;
}
