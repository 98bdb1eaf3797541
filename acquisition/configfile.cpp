#include "configfile.h"

#include "comportctrl.h"
#include "monitorbase.h"
#include "monitorcollection.h"

#include <QFile>
#include <QSaveFile>

#include <climits>
#include <cmath>

using nlohmann::json;

namespace {

// Builds the DOM like the library's own parser, but keeps the error text instead of
// throwing it.
class DomParser : public nlohmann::detail::json_sax_dom_parser<json>
{
public:
    explicit DomParser(json &root) : json_sax_dom_parser(root, false) {}

    template <class Exception>
    bool parse_error(std::size_t, const std::string &, const Exception &error)
    {
        message = error.what();
        const auto tag = message.find("] ");
        if (message.compare(0, 1, "[") == 0 && tag != std::string::npos)
            message.erase(0, tag + 2);
        return false;
    }

    std::string message;
};

const char *const integerType = "整数";
const char *const textType = "文本";
const char *const flagType = " true/false";

} // namespace

ConfigFile::ConfigFile(const char *path) : path(path ? path : "") {}

std::string ConfigFile::describe(Check check, const char *key, const char *type)
{
    if (check == Missing)
        return std::string("缺少 \"") + key + "\"";
    if (check == OutOfRange)
        return std::string("的 \"") + key + "\" 超出范围";
    return std::string("的 \"") + key + "\" 不是" + type;
}

int ConfigFile::load()
{
    document = json();
    fromFile = false;
    QFile file(QString::fromStdString(path));
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly)) {
        problemList.push_back("配置文件 " + path + " 无法读取，改用默认设置");
        return -1;
    }
    const QByteArray content = file.readAll();
    loadedText.assign(content.constData(), size_t(content.size()));

    // Like the library's stream extraction: one value from the start, the rest unread.
    DomParser parser(document);
    if (!json::sax_parse(loadedText, &parser, json::input_format_t::json, false)) {
        document = json();
        report("配置文件 " + path + " 无法解析（" + parser.message + "），改用默认设置");
        return -1;
    }
    if (!document.is_object()) {
        document = json();
        report("配置文件 " + path + " 的内容不是 JSON 对象，改用默认设置");
        return -1;
    }
    fromFile = true;
    return 0;
}

int ConfigFile::save()
{
    return writeFile(path, document.dump(4, ' ', false, json::error_handler_t::replace)) ? 0 : -1;
}

void ConfigFile::readComPort(ComPortCtrl *ctrl)
{
    if (!ctrl || !fromFile)
        return;
    std::string text;
    Check check = readText(document, "parity", text);
    if (check == Valid)
        ctrl->setParity(text.empty() ? '\0' : text[0]);
    else
        report("配置文件 " + path + " 中" + describe(check, "parity", textType) + "，改用 " +
               std::string(1, ctrl->getParity()));
    check = readText(document, "comport", text);
    if (check == Valid)
        ctrl->setPort(text.c_str());
    else
        report("配置文件 " + path + " 中" + describe(check, "comport", textType) + "，改用 " +
               ctrl->getPort());
    int value = ctrl->getBaudrate();
    readSetting("baudrate", value);
    ctrl->setBaudrate(value);
    value = ctrl->getDatabit();
    readSetting("databit", value);
    ctrl->setDatabit(value);
    value = ctrl->getStopbit();
    readSetting("stopbit", value);
    ctrl->setStopbit(value);
}

void ConfigFile::writeComPort(const ComPortCtrl *ctrl)
{
    if (!ctrl)
        return;
    document["comport"] = ctrl->getPort();
    document["baudrate"] = ctrl->getBaudrate();
    document["databit"] = ctrl->getDatabit();
    document["stopbit"] = ctrl->getStopbit();
    document["parity"] = std::string(1, ctrl->getParity());
}

void ConfigFile::readMonitors(MonitorCollection *collection)
{
    if (!collection)
        return;
    // The document keeps what the station runs with, so that a file written later by
    // appending a monitor is complete.
    int interval = collection->getInterval();
    if (fromFile)
        readSetting("interval", interval);
    collection->setInterval(interval);
    if (collection->getInterval() != interval)
        report("配置文件 " + path + " 中的 \"interval\" 为 " + std::to_string(interval) +
               " 秒，超出 0 到 " + std::to_string(MonitorCollection::maxInterval) + "，改用 " +
               std::to_string(collection->getInterval()));
    document["interval"] = collection->getInterval();

    const auto list = document.find("monitor");
    if (list == document.end() || !list->is_array()) {
        if (fromFile)
            report("配置文件 " + path + " 中" +
                   describe(list == document.end() ? Missing : WrongType, "monitor", "数组") +
                   "，未加载任何仪表");
        document["monitor"] = json::array();
        return;
    }
    int position = 0;
    for (const json &entry : *list)
        readEntry(entry, ++position, collection);
}

void ConfigFile::readEntry(const json &entry, int position, MonitorCollection *collection)
{
    const std::string where = "配置文件 " + path + " 中第 " + std::to_string(position) + " 个仪表";
    if (!entry.is_object()) {
        report(where + "不是 JSON 对象，该仪表未加载");
        return;
    }
    std::string model, username;
    int id = 0, channel = 0;
    bool running = false, record = false;
    Check check = readText(entry, "model", model);
    if (check != Valid) {
        report(where + describe(check, "model", textType) + "，该仪表未加载");
        return;
    }
    // Entries of models this station does not know are kept in the file, not reported.
    if (model != "DO580" && model != "DI590" && model != "RO592" && model != "RA550")
        return;
    struct Field
    {
        const char *key;
        Check check;
        const char *type;
    };
    const Field fields[] = {
        {"username", readText(entry, "username", username), textType},
        {"id", readInt(entry, "id", id), integerType},
        {"channel", readInt(entry, "channel", channel), integerType},
        {"running", readFlag(entry, "running", running), flagType},
        {"record", readFlag(entry, "record", record), flagType},
    };
    for (const Field &field : fields) {
        if (field.check != Valid) {
            report(where + describe(field.check, field.key, field.type) + "，该仪表未加载");
            return;
        }
    }
    if (id < 1 || id > 247)
        report(where + "的 \"id\" 为 " + std::to_string(id) +
               "，不在 1 到 247 之间，该仪表无法通信");
    collection->create(model, username, id, channel, running, record);
}

void ConfigFile::appendMonitor(const MonitorBase *monitor)
{
    if (!monitor)
        return;
    json &list = document["monitor"];
    if (!list.is_array())
        list = json::array();
    list.push_back({{"model", monitor->getModel()},
                    {"username", monitor->getUsername()},
                    {"id", monitor->getId()},
                    {"channel", monitor->getChannel()},
                    {"running", monitor->isRunning()},
                    {"record", monitor->isRecord()}});
}

void ConfigFile::removeMonitor(const MonitorBase *monitor)
{
    if (!monitor || !document.is_object())
        return;
    const auto list = document.find("monitor");
    if (list == document.end() || !list->is_array())
        return;
    const auto matches = [](const json &entry, const char *key, const json &value) {
        const auto found = entry.find(key);
        return found != entry.end() && *found == value;
    };
    for (auto entry = list->begin(); entry != list->end(); ++entry) {
        if (entry->is_object() && matches(*entry, "model", monitor->getModel()) &&
            matches(*entry, "id", monitor->getId()) &&
            matches(*entry, "channel", monitor->getChannel())) {
            list->erase(entry);
            return;
        }
    }
}

void ConfigFile::writeMonitors(const MonitorCollection *collection)
{
    if (!collection)
        return;
    document["interval"] = collection->getInterval();
    document["monitor"] = json::array();
    for (const MonitorBase *monitor : collection->getMonitors())
        appendMonitor(monitor);
}

ConfigFile::Check ConfigFile::readInt(const json &object, const char *key, int &value)
{
    const auto found = object.find(key);
    if (found == object.end())
        return Missing;
    if (found->is_boolean()) {
        value = found->get<bool>() ? 1 : 0;
        return Valid;
    }
    if (!found->is_number())
        return WrongType;
    // Fractions are truncated toward zero; what no int can hold is refused.
    const double number = std::trunc(found->is_number_unsigned()  ? double(found->get<uint64_t>())
                                     : found->is_number_integer() ? double(found->get<int64_t>())
                                                                  : found->get<double>());
    if (!(number >= double(INT_MIN) && number <= double(INT_MAX)))
        return OutOfRange;
    value = int(number);
    return Valid;
}

ConfigFile::Check ConfigFile::readText(const json &object, const char *key, std::string &value)
{
    const auto found = object.find(key);
    if (found == object.end())
        return Missing;
    if (!found->is_string())
        return WrongType;
    value = found->get<std::string>();
    return Valid;
}

ConfigFile::Check ConfigFile::readFlag(const json &object, const char *key, bool &value)
{
    const auto found = object.find(key);
    if (found == object.end())
        return Missing;
    if (!found->is_boolean())
        return WrongType;
    value = found->get<bool>();
    return Valid;
}

void ConfigFile::readSetting(const char *key, int &value)
{
    const Check check = readInt(document, key, value);
    if (check != Valid)
        report("配置文件 " + path + " 中" + describe(check, key, integerType) + "，改用 " +
               std::to_string(value));
}

void ConfigFile::report(const std::string &problem)
{
    problemList.push_back(problem);
    if (copied || loadedText.empty())
        return;
    copied = true;
    const std::string copy = path + ".invalid";
    if (writeFile(copy, loadedText))
        problemList.push_back("配置文件 " + path + " 的原内容已另存为 " + copy);
    else
        problemList.push_back("配置文件 " + path + " 无法另存为 " + copy);
}

bool ConfigFile::writeFile(const std::string &path, const std::string &text)
{
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
