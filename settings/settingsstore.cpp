#include "settingsstore.h"

#include "settings/configfile.h"

#include <QDir>

SettingsStore::Result SettingsStore::save(ConfigFile *config)
{
    if (!config)
        return Stored;
    if (config->save() == 0)
        return Stored;
    // Held back until the start-up box about the file has been shown: not a failure, and a
    // second box now would only repeat that one.
    if (config->isHeld())
        return Deferred;
    return Failed;
}

QString SettingsStore::failureText(const ConfigFile *config)
{
    return QStringLiteral(
               "设置保存失败:无法写入配置文件 %1\n更改的设置未保存,重新启动后将恢复为原设置。"
               "请检查磁盘空间和文件夹权限。")
        .arg(QDir::toNativeSeparators(QString::fromStdString(config->getPath())));
}
