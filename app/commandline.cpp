#include "commandline.h"

#include "app/qttranslations.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPushButton>

#include <cstdio>

namespace {

// The station's own options; a value follows those that take one, as the next argument or
// after '='.
struct Option
{
    const char *name;
    bool takesValue;
};
const Option stationOptions[] = {
    {"--station", true}, {"--passwd", true}, {"--count-records", false}, {"--connect", false},
    {"--help", false},   {"-h", false},      {"--version", false},
};
// Qt's own, which QApplication reads and takes out (one dash or two): refusing them would
// break a desktop's session restore (-session) and the usual ways to test a display.
const Option qtOptions[] = {
    {"platform", true},    {"platformpluginpath", true}, {"platformtheme", true},
    {"plugin", true},      {"qmljsdebugger", true},      {"qwindowgeometry", true},
    {"qwindowicon", true}, {"qwindowtitle", true},       {"session", true},
    {"display", true},     {"geometry", true},           {"style", true},
    {"stylesheet", true},  {"reverse", false},           {"widgetcount", false},
};

// The option an argument names, its value after '=' split off; null when it is none of ours
// or Qt's.
const Option *find(const QString &argument, bool *inlineValue)
{
    const int equals = argument.indexOf(QLatin1Char('='));
    const QString name = equals < 0 ? argument : argument.left(equals);
    *inlineValue = equals >= 0;
    for (const Option &option : stationOptions)
        if (name == QLatin1String(option.name))
            return option.takesValue || equals < 0 ? &option : nullptr;
    QString bare = name;
    if (bare.startsWith(QLatin1String("--")))
        bare.remove(0, 1);
    if (!bare.startsWith(QLatin1Char('-')))
        return nullptr;
    bare.remove(0, 1);
    for (const Option &option : qtOptions)
        if (bare == QLatin1String(option.name))
            return option.takesValue || equals < 0 ? &option : nullptr;
    return nullptr;
}

} // namespace

CommandLine::CommandLine(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        bool inlineValue = false;
        const Option *option = find(argument, &inlineValue);
        if (!option) {
            what = Invalid;
            problem = argument.startsWith(QLatin1Char('-')) && argument.size() > 1
                          ? QStringLiteral("未知选项 %1").arg(argument)
                          : QStringLiteral("多余的参数 %1").arg(argument);
            return;
        }
        const QLatin1String name(option->name);
        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            what = Help;
            return;
        }
        if (name == QLatin1String("--version")) {
            what = Version;
            return;
        }
        // The rest belongs to the password command, which checks its own words (--admin).
        if (name == QLatin1String("--passwd"))
            return;
        // A missing value is left to the option's own reader, which says what it needs.
        if (option->takesValue && !inlineValue)
            ++i;
    }
}

QString CommandLine::usage()
{
    return QStringLiteral(
        "用法: hydrovane [--station 文件夹] [--connect]\n"
        "      hydrovane [--station 文件夹] --passwd 用户名 [--admin]\n"
        "      hydrovane [--station 文件夹] --count-records\n"
        "水质在线监测站。\n"
        "\n"
        "  --station 文件夹   使用该站点文件夹,不存在时创建(也可用环境变量 HYDROVANE_STATION)\n"
        "  --connect          启动后立即打开已保存的串口,用于无人值守的监测站\n"
        "  --passwd 用户名    从标准输入读取新密码,设置该用户的密码后退出;不存在时创建为管理员\n"
        "  --admin            与 --passwd 一起使用:同时将该用户设为管理员\n"
        "  --count-records    打印已保存的记录条数后退出\n"
        "  --help             显示本帮助后退出\n"
        "  --version          显示版本、Qt 对话框按钮的语言和中文字体后退出\n"
        "\n"
        "退出码: 0 成功;1 站点文件夹无法使用、已有监测站在运行或命令失败;2 命令行有误。\n"
        "日志: 站点文件夹中的 log/hydrovane.log。\n");
}

QString CommandLine::versionText()
{
    return QStringLiteral("hydrovane " HYDROVANE_VERSION);
}

int CommandLine::answer(int &argc, char **argv) const
{
    switch (what) {
    case Run:
        return 0;
    case Help:
        std::fputs(usage().toUtf8().constData(), stdout);
        return 0;
    case Invalid:
        std::fprintf(stderr, "hydrovane: %s\n用法见 hydrovane --help\n",
                     problem.toUtf8().constData());
        return 2;
    case Version:
        break;
    }
    std::printf("%s\n", versionText().toUtf8().constData());
    std::fflush(stdout);
    // The buttons are made as in the station, on a screen of their own.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const bool translated = QtTranslations::install();
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                             QDialogButtonBox::Yes | QDialogButtonBox::No);
    QStringList texts;
    for (QDialogButtonBox::StandardButton button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel,
                                                    QDialogButtonBox::Yes, QDialogButtonBox::No})
        texts << buttons.button(button)->text().remove(QLatin1Char('&'));
    std::printf("Qt %s, 对话框按钮: %s%s\n", qVersion(),
                texts.join(QLatin1Char(' ')).toUtf8().constData(),
                translated ? "" : " (未找到 Qt 的中文翻译,请安装 qttranslations5-l10n)");
    // Without a font that has Chinese glyphs every text of the window is a row of boxes.
    const QStringList chinese = QFontDatabase().families(QFontDatabase::SimplifiedChinese);
    if (chinese.isEmpty())
        std::printf("中文字体: 无 (请安装 fonts-wqy-microhei 或 fonts-noto-cjk)\n");
    else
        std::printf("中文字体: %s\n", chinese.first().toUtf8().constData());
    return 0;
}
