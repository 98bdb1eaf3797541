#include "configfile.h"

#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "settings/hj212settings.h"
#include "settings/mqttsettings.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

using nlohmann::json;

namespace {

// Of what a file holds, a message quotes at most this many characters: a message box lays
// out its whole text at once.
const size_t quoteLimit = 100;

// The first `limit` UTF-8 characters of `text`, with an ellipsis when it was longer.
std::string shortened(const std::string &text, size_t limit)
{
    size_t end = 0;
    for (size_t count = 0; end < text.size() && count < limit; ++count) {
        ++end;
        for (int more = 0; more < 3 && end < text.size() &&
                           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
             ++more)
            ++end;
    }
    return end < text.size() ? text.substr(0, end) + "…" : text;
}

// Text from the file as a message shows it: in quotes, control characters escaped.
std::string quotedText(const std::string &text)
{
    const std::string shown = shortened(text, quoteLimit);
    return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
}

// Builds the DOM like the library's own parser, but keeps the error text instead of
// throwing it and refuses documents nested deeper than ConfigFile::maxDepth.
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
        // The token read last can be the rest of the file.
        const std::string lastRead = "last read: '";
        const auto token = message.find(lastRead);
        if (token != std::string::npos) {
            const std::string rest = message.substr(token + lastRead.size());
            const std::string cut = shortened(rest, quoteLimit);
            if (cut.size() < rest.size())
                message.replace(token + lastRead.size(), std::string::npos, cut + "'");
        }
        return false;
    }

    bool start_object(std::size_t elements)
    {
        return enter() && json_sax_dom_parser::start_object(elements);
    }
    bool end_object()
    {
        --depth;
        return json_sax_dom_parser::end_object();
    }
    bool start_array(std::size_t elements)
    {
        return enter() && json_sax_dom_parser::start_array(elements);
    }
    bool end_array()
    {
        --depth;
        return json_sax_dom_parser::end_array();
    }

    std::string message;
    bool tooDeep = false;

private:
    bool enter()
    {
        tooDeep = ++depth > ConfigFile::maxDepth;
        return !tooDeep;
    }

    int depth = 0;
};

const char *const integerType = "整数";
const char *const textType = "文本";
const char *const flagType = " true/false";

// Seconds as the operator writes them: 0.2, 1, 5.
std::string secondsText(double seconds)
{
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// The rates a serial line takes on this platform (termios).
bool isStandardBaudrate(int rate)
{
    static const int rates[] = {
        50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
        2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
        576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates);
}

bool isDatabit(int bits)
{
    return bits >= 5 && bits <= 8;
}

bool isStopbit(int bits)
{
    return bits == 1 || bits == 2;
}

// The array of `key`, made one if it is not; `owners` is kept as long as it, cleared with it.
template <typename Owner>
json &ownedList(json &document, const char *key, std::vector<const Owner *> &owners)
{
    if (!document.is_object())
        document = json::object();
    json &list = document[key];
    if (!list.is_array()) {
        list = json::array();
        owners.clear();
    }
    owners.resize(list.size(), nullptr);
    return list;
}

template <typename Owner>
int ownerIndex(const std::vector<const Owner *> &owners, const Owner *owner)
{
    const auto found = std::find(owners.begin(), owners.end(), owner);
    return found == owners.end() ? -1 : int(found - owners.begin());
}

} // namespace

const char *const ConfigFile::firstLineName = "串口1";

ConfigFile::ConfigFile(const char *path, long long sizeLimit)
    : path(path ? path : ""), sizeLimit(sizeLimit)
{
}

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
    held = false;
    copied = false;
    copySource = NoCopy;
    loadedText.clear();
    owners.clear();
    lineOwners.clear();
    QFile file(QString::fromStdString(path));
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly))
        return fail("配置文件 " + path + " 无法读取，改用默认设置", NoCopy);
    const std::string tooLarge = "配置文件 " + path + " 大于 " + std::to_string(sizeLimit >> 20) +
                                 " MiB，未读取，改用默认设置";
    if (file.size() > sizeLimit)
        return fail(tooLarge, FileOnDisk);
    // A device or a growing file may hold more than its size says.
    const QByteArray content = file.read(sizeLimit + 1);
    if (content.size() > sizeLimit)
        return fail(tooLarge, FileOnDisk);
    loadedText.assign(content.constData(), size_t(content.size()));

    // Like the library's stream extraction: one value from the start, the rest unread.
    DomParser parser(document);
    if (!json::sax_parse(loadedText, &parser, json::input_format_t::json, false)) {
        document = json();
        if (parser.tooDeep)
            return fail("配置文件 " + path + " 的嵌套超过 " + std::to_string(maxDepth) +
                            " 层，改用默认设置",
                        LoadedText);
        return fail("配置文件 " + path + " 无法解析（" + parser.message + "），改用默认设置",
                    LoadedText);
    }
    if (!document.is_object()) {
        document = json();
        return fail("配置文件 " + path + " 的内容不是 JSON 对象，改用默认设置", LoadedText);
    }
    fromFile = true;
    copySource = loadedText.empty() ? NoCopy : LoadedText;
    return 0;
}

int ConfigFile::fail(const std::string &problem, CopySource source)
{
    // An empty file holds nothing to keep.
    copySource = source == LoadedText && loadedText.empty() ? NoCopy : source;
    held = true;
    report(problem);
    return -1;
}

int ConfigFile::save()
{
    if (held)
        return -1;
    const std::string text = document.dump(4, ' ', false, json::error_handler_t::replace);
    // What the next start would refuse to read is not written.
    if (text.size() > size_t(sizeLimit))
        return -1;
    return writeFile(path, text) ? 0 : -1;
}

void ConfigFile::markProblemsShown()
{
    problemList.clear();
    held = false;
}

void ConfigFile::readComPort(ComPortCtrl *ctrl)
{
    if (!ctrl)
        return;
    ctrl->setType(ComPortCtrl::Rtu);
    ctrl->setName(firstLineName);
    if (!fromFile)
        return;
    const std::string at = "配置文件 " + path + " 中";
    if (document.contains("name")) {
        std::string name;
        const std::string problem = lineNameProblem(document, name);
        if (problem.empty())
            ctrl->setName(name);
        else
            report(at + problem + "，改用 " + quotedText(firstLineName));
    }
    readSerial(document, at, ctrl);
}

void ConfigFile::readSerial(const json &object, const std::string &at, ComPortCtrl *ctrl)
{
    std::string text;
    Check check = readText(object, "parity", text);
    if (check != Valid)
        report(at + describe(check, "parity", textType) + "，改用 " +
               std::string(1, ctrl->getParity()));
    else if (text.empty() || (text[0] != 'N' && text[0] != 'E' && text[0] != 'O'))
        report(at + "的 \"parity\" 为 " + quotedText(text) + "，不是 N、E 或 O，改用 " +
               std::string(1, ctrl->getParity()));
    else
        ctrl->setParity(text[0]);

    check = readText(object, "comport", text);
    if (check != Valid)
        report(at + describe(check, "comport", textType) + "，改用 " + ctrl->getPort());
    else if (text.empty())
        report(at + "的 \"comport\" 为空，改用 " + ctrl->getPort());
    else if (hasControlCharacter(text))
        report(at + "的 \"comport\" 为 " + quotedText(text) + "，含有控制字符，改用 " +
               ctrl->getPort());
    else
        ctrl->setPort(text.c_str());

    int value = ctrl->getBaudrate();
    readBounded(object, at, "baudrate", value, isStandardBaudrate, "不是标准波特率");
    ctrl->setBaudrate(value);
    value = ctrl->getDatabit();
    readBounded(object, at, "databit", value, isDatabit, "不在 5 到 8 之间");
    ctrl->setDatabit(value);
    value = ctrl->getStopbit();
    readBounded(object, at, "stopbit", value, isStopbit, "不是 1 或 2");
    ctrl->setStopbit(value);
    readTimeout(object, at, ctrl);
}

void ConfigFile::readTimeout(const json &object, const std::string &at, ComPortCtrl *ctrl)
{
    // Optional: files without it mean the fixed timeout of one second.
    const auto timeout = object.find("timeout");
    if (timeout == object.end())
        return;
    const std::string fallback = "，改用 " + secondsText(ctrl->getTimeout()) + " 秒";
    if (!timeout->is_number()) {
        report(at + describe(WrongType, "timeout", "数字") + fallback);
        return;
    }
    const double seconds = timeout->get<double>();
    if (seconds >= ComPortCtrl::minTimeout && seconds <= ComPortCtrl::maxTimeout)
        ctrl->setTimeout(seconds);
    else
        report(at + "的 \"timeout\" 为 " + secondsText(seconds) + " 秒，不在 " +
               secondsText(ComPortCtrl::minTimeout) + " 到 " +
               secondsText(ComPortCtrl::maxTimeout) + " 之间" + fallback);
}

std::string ConfigFile::lineNameProblem(const json &object, std::string &name)
{
    const Check check = readText(object, "name", name);
    if (check != Valid)
        return describe(check, "name", textType);
    if (name.empty())
        return "的 \"name\" 为空";
    // Shown in the tree and in messages, and part of the monitors' entries.
    if (hasControlCharacter(name))
        return "的 \"name\" 为 " + quotedText(name) + "，含有控制字符";
    return std::string();
}

void ConfigFile::readLines(std::vector<ComPortCtrl *> &lines)
{
    lineOwners.clear();
    // As for the monitors, the document keeps what the station runs with: a file stored
    // after a broken one was shown is one the next start reads.
    if (!document.is_object())
        document = json::object();
    const auto list = document.find("lines");
    if (list == document.end() || !list->is_array()) {
        if (fromFile)
            report("配置文件 " + path + " 中" +
                   describe(list == document.end() ? Missing : WrongType, "lines", "数组") +
                   "，未加载其他线路");
        document["lines"] = json::array();
        return;
    }
    int position = 0;
    for (const json &entry : *list) {
        ComPortCtrl *line = readLine(entry, ++position, lines);
        lineOwners.push_back(line);
        if (line)
            lines.push_back(line);
    }
}

namespace {

// The device a serial port name opens, so that two names of one device compare equal: COM1
// and /dev/ttyS0, or a /dev/serial/by-id link and its ttyUSB.
std::string serialDevice(const std::string &port)
{
    const std::string device = ComPortCtrl::deviceName(port);
    const QString canonical = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical.toStdString();
}

// The Modbus TCP port, which an entry of Lines.json need not give.
const int modbusTcpPort = 502;

bool isUsableHost(const std::string &host)
{
    return !host.empty() && !ConfigFile::hasControlCharacter(host) &&
           host.find(' ') == std::string::npos;
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

ComPortCtrl *ConfigFile::readLine(const json &entry, int position,
                                  const std::vector<ComPortCtrl *> &lines)
{
    const std::string where = "配置文件 " + path + " 中第 " + std::to_string(position) + " 条线路";
    const std::string refused = "，该线路未加载，它的设置仍保留在文件中";
    if (!entry.is_object()) {
        report(where + "不是 JSON 对象" + refused);
        return nullptr;
    }
    if (lines.size() >= size_t(maxLines)) {
        report(where + "超出 " + std::to_string(maxLines) + " 条线路的上限" + refused);
        return nullptr;
    }
    std::string type;
    const Check typeCheck = readText(entry, "type", type);
    if (typeCheck != Valid) {
        report(where + describe(typeCheck, "type", textType) + refused);
        return nullptr;
    }
    const std::string kind = lowerCase(type);
    if (kind != "rtu" && kind != "tcp") {
        report(where + "的 \"type\" 为 " + quotedText(type) + "，不是 rtu 或 tcp" + refused);
        return nullptr;
    }
    std::string name;
    const std::string problem = lineNameProblem(entry, name);
    if (!problem.empty()) {
        report(where + problem + refused);
        return nullptr;
    }
    for (const ComPortCtrl *line : lines) {
        if (line->getName() == name) {
            report(where + "的名称 " + quotedText(name) + " 已被其他线路使用" + refused);
            return nullptr;
        }
    }

    std::unique_ptr<ComPortCtrl> ctrl(new ComPortCtrl);
    ctrl->setName(name);
    if (kind == "rtu") {
        ctrl->setType(ComPortCtrl::Rtu);
        readSerial(entry, where, ctrl.get());
        // Two readers on one device would take each other's answers.
        const std::string device = serialDevice(ctrl->getPort());
        for (const ComPortCtrl *line : lines) {
            if (line->getType() == ComPortCtrl::Rtu && serialDevice(line->getPort()) == device) {
                report(where + "的串口 " + quotedText(ctrl->getPort()) + " 已由线路 " +
                       quotedText(line->getName()) + " 使用" + refused);
                return nullptr;
            }
        }
        return ctrl.release();
    }

    ctrl->setType(ComPortCtrl::Tcp);
    std::string host;
    const Check hostCheck = readText(entry, "host", host);
    if (hostCheck != Valid) {
        report(where + describe(hostCheck, "host", textType) + refused);
        return nullptr;
    }
    if (!isUsableHost(host)) {
        report(where + "的 \"host\" 为 " + quotedText(host) + "，不是可用的主机名或地址" + refused);
        return nullptr;
    }
    ctrl->setHost(host);
    int port = modbusTcpPort;
    const Check portCheck = readInt(entry, "port", port);
    if (portCheck != Valid && portCheck != Missing) {
        report(where + describe(portCheck, "port", integerType) + refused);
        return nullptr;
    }
    if (port < 1 || port > 65535) {
        report(where + "的 \"port\" 为 " + std::to_string(port) + "，不在 1 到 65535 之间" +
               refused);
        return nullptr;
    }
    ctrl->setTcpPort(port);
    readTimeout(entry, where, ctrl.get());
    return ctrl.release();
}

json &ConfigFile::lineList()
{
    return ownedList(document, "lines", lineOwners);
}

int ConfigFile::lineEntryOf(const ComPortCtrl *ctrl) const
{
    return ownerIndex(lineOwners, ctrl);
}

void ConfigFile::writeLine(const ComPortCtrl *ctrl)
{
    if (!ctrl)
        return;
    json &list = lineList();
    int own = lineEntryOf(ctrl);
    if (own < 0) {
        list.push_back(json::object());
        lineOwners.push_back(ctrl);
        own = int(list.size()) - 1;
    }
    json &entry = list[size_t(own)];
    if (!entry.is_object())
        entry = json::object();
    entry["name"] = ctrl->getName();
    const bool tcp = ctrl->getType() == ComPortCtrl::Tcp;
    // A type written "RTU" by hand stays so.
    std::string type;
    if (readText(entry, "type", type) != Valid || lowerCase(type) != (tcp ? "tcp" : "rtu"))
        entry["type"] = tcp ? "tcp" : "rtu";
    if (!tcp) {
        writeSerial(entry, ctrl);
        return;
    }
    entry["host"] = ctrl->getHost();
    if (entry.contains("port") || ctrl->getTcpPort() != modbusTcpPort)
        entry["port"] = ctrl->getTcpPort();
    writeTimeout(entry, ctrl);
}

void ConfigFile::removeLine(const ComPortCtrl *ctrl)
{
    const int own = lineEntryOf(ctrl);
    if (!ctrl || own < 0)
        return;
    lineList().erase(size_t(own));
    lineOwners.erase(lineOwners.begin() + own);
}

void ConfigFile::readMqtt(MqttSettings &settings)
{
    if (!fromFile)
        return;
    const std::string at = "配置文件 " + path + " 中";
    const auto text = [&](const json &object, const char *key, std::string &value) {
        std::string read;
        const Check check = readText(object, key, read);
        if (check == WrongType)
            report(at + describe(check, key, textType) + "，改用 " + quotedText(value));
        else if (check == Valid)
            value = read;
    };
    const auto flag = [&](const json &object, const char *key, bool &value) {
        bool read = false;
        const Check check = readFlag(object, key, read);
        if (check == WrongType)
            report(at + describe(check, key, flagType) + "，改用 " + (value ? "true" : "false"));
        else if (check == Valid)
            value = read;
    };
    const auto integer = [&](const char *key, int &value, int low, int high) {
        int read = 0;
        const Check check = readInt(document, key, read);
        if (check != Valid && check != Missing)
            report(at + describe(check, key, integerType) + "，改用 " + std::to_string(value));
        else if (check == Valid && (read < low || read > high))
            report(at + "的 \"" + key + "\" 为 " + std::to_string(read) + "，不在 " +
                   std::to_string(low) + " 到 " + std::to_string(high) + " 之间，改用 " +
                   std::to_string(value));
        else if (check == Valid)
            value = read;
    };
    flag(document, "enabled", settings.enabled);
    text(document, "host", settings.host);
    integer("port", settings.port, 1, 65535);
    text(document, "clientId", settings.clientId);
    text(document, "topic", settings.topic);
    text(document, "station", settings.station);
    text(document, "username", settings.username);
    text(document, "password", settings.password);
    integer("qos", settings.qos, 0, 2);
    const auto tls = document.find("tls");
    if (tls != document.end()) {
        if (tls->is_boolean()) {
            settings.tls = tls->get<bool>();
        } else if (tls->is_object()) {
            flag(*tls, "enabled", settings.tls);
            text(*tls, "caFile", settings.caFile);
        } else {
            report(at + describe(WrongType, "tls", "对象") + "，不使用 TLS");
            settings.tls = false;
        }
    }
    const std::vector<std::string> problems = settings.validate();
    for (const std::string &problem : problems)
        report(at + "：" + problem + (settings.enabled ? "，不发布 MQTT" : ""));
    if (!problems.empty())
        settings.enabled = false;
}

void ConfigFile::writeMqtt(const MqttSettings &settings)
{
    document["enabled"] = settings.enabled;
    document["host"] = settings.host;
    document["port"] = settings.port;
    document["clientId"] = settings.clientId;
    document["topic"] = settings.topic;
    document["station"] = settings.station;
    document["username"] = settings.username;
    document["password"] = settings.password;
    document["tls"] = json{{"enabled", settings.tls}, {"caFile", settings.caFile}};
    document["qos"] = settings.qos;
}

void ConfigFile::writeComPort(const ComPortCtrl *ctrl)
{
    if (!ctrl)
        return;
    // Files of stations with one line stay without a name while it is the default.
    if (document.contains("name") || (!ctrl->getName().empty() && ctrl->getName() != firstLineName))
        document["name"] = ctrl->getName();
    writeSerial(document, ctrl);
}

void ConfigFile::writeSerial(json &object, const ComPortCtrl *ctrl)
{
    object["comport"] = ctrl->getPort();
    object["baudrate"] = ctrl->getBaudrate();
    object["databit"] = ctrl->getDatabit();
    object["stopbit"] = ctrl->getStopbit();
    object["parity"] = std::string(1, ctrl->getParity());
    writeTimeout(object, ctrl);
}

void ConfigFile::writeTimeout(json &object, const ComPortCtrl *ctrl)
{
    const auto timeout = object.find("timeout");
    // A file written before the timeout could be set stays without it until it differs; a
    // "1" written by hand does not become "1.0".
    if (timeout == object.end()
            ? ctrl->getTimeout() != ComPortCtrl::defaultTimeout
            : !timeout->is_number() || timeout->get<double>() != ctrl->getTimeout())
        object["timeout"] = ctrl->getTimeout();
}

void ConfigFile::readMonitors(MonitorCollection *collection,
                              const std::vector<std::string> &lineNames)
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
    AlarmFilter filter;
    if (fromFile && readAlarmFilter(document, "配置文件 " + path + " 中", filter))
        collection->setAlarmFilter(filter);

    owners.clear();
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
    owners.reserve(list->size());
    for (const json &entry : *list)
        owners.push_back(readEntry(entry, ++position, collection, lineNames));
    reportNames(owners);
    reportLines(owners, lineNames);
}

const MonitorBase *ConfigFile::readEntry(const json &entry, int position,
                                         MonitorCollection *collection,
                                         const std::vector<std::string> &lineNames)
{
    const std::string where = "配置文件 " + path + " 中第 " + std::to_string(position) + " 个仪表";
    if (!entry.is_object()) {
        report(where + "不是 JSON 对象，该仪表未加载");
        return nullptr;
    }
    std::string model, username;
    int id = 0, channel = 0;
    bool running = false, record = false;
    Check check = readText(entry, "model", model);
    if (check != Valid) {
        report(where + describe(check, "model", textType) + "，该仪表未加载");
        return nullptr;
    }
    if (model != "DO580" && model != "DI590" && model != "RO592" && model != "RA550") {
        report(where + "的型号 " + quotedText(model) +
               " 未知，该仪表未加载，它的设置仍保留在文件中");
        return nullptr;
    }
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
            return nullptr;
        }
    }
    // A NUL ends the name where the database stores it, and other control characters are no
    // safer: such a name could be another monitor's in the records, and removing that one
    // with its history would take this one's. Kept in the file until the operator renames it.
    if (hasControlCharacter(username)) {
        report(where + "的名称 " + quotedText(username) +
               " 含有控制字符，该仪表未加载，它的设置仍保留在文件中；请在文件中为它改名");
        return nullptr;
    }
    if (id < 1 || id > 247)
        report(where + "的 \"id\" 为 " + std::to_string(id) +
               "，不在 1 到 247 之间，该仪表无法通信");
    MonitorBase *monitor = collection->create(model, username, id, channel, running, record);
    if (monitor)
        readMonitorLine(entry, where, monitor, lineNames);
    AlarmFilter own = collection->getAlarmFilter();
    if (monitor && readAlarmFilter(entry, where, own))
        monitor->setOwnAlarmFilter(&own);
    return monitor;
}

void ConfigFile::readMonitorLine(const json &entry, const std::string &where, MonitorBase *monitor,
                                 const std::vector<std::string> &lineNames)
{
    const auto line = entry.find("line");
    if (line == entry.end()) {
        monitor->setLine(std::string());
        monitor->setLineIndex(0);
        return;
    }
    // Not polled until the operator names a line of the station; what the file holds stays
    // there (see update).
    monitor->setLineIndex(-1);
    monitor->setLine(line->is_string() ? line->get<std::string>() : std::string());
    if (!line->is_string() || monitor->getLine().empty()) {
        report(where +
               (line->is_string() ? "的 \"line\" 为空" : describe(WrongType, "line", textType)) +
               "，该仪表不采集");
        return;
    }
    const auto found = std::find(lineNames.begin(), lineNames.end(), monitor->getLine());
    if (found != lineNames.end())
        monitor->setLineIndex(int(found - lineNames.begin()));
}

namespace {

// Positions of entries as a message lists them: "1、3、5"; after ten, "等 N".
std::string positionList(const std::vector<size_t> &positions)
{
    const size_t shown = 10;
    std::string list;
    for (size_t i = 0; i < positions.size() && i < shown; ++i)
        list += (list.empty() ? "" : "、") + std::to_string(positions[i]);
    if (positions.size() > shown)
        list += " 等 " + std::to_string(positions.size());
    return list;
}

} // namespace

void ConfigFile::reportLines(const std::vector<const MonitorBase *> &loaded,
                             const std::vector<std::string> &lineNames)
{
    const std::string at = "配置文件 " + path + " 中第 ";
    std::map<std::string, std::vector<size_t>> missing;
    // Of each line by name, the positions of each id.
    std::map<std::pair<std::string, int>, std::vector<size_t>> ids;
    for (size_t i = 0; i < loaded.size(); ++i) {
        const MonitorBase *monitor = loaded[i];
        if (!monitor)
            continue;
        const int index = monitor->getLineIndex();
        std::string line = monitor->getLine();
        if (index >= 0 && size_t(index) < lineNames.size())
            line = lineNames[size_t(index)];
        else if (!line.empty())
            missing[line].push_back(i + 1);
        // Ids out of range were reported as such.
        if (!line.empty() && monitor->getId() >= 1 && monitor->getId() <= 247)
            ids[{line, monitor->getId()}].push_back(i + 1);
    }
    for (const auto &line : missing)
        report(at + positionList(line.second) + " 个仪表所属线路 " + quotedText(line.first) +
               " 不存在，" +
               (line.second.size() > 1 ? "这些仪表不采集，它们" : "该仪表不采集，它") +
               "的设置仍保留在文件中");
    // A large station can repeat many: the first ones tell the operator what to look for.
    const size_t shownGroups = 20;
    size_t groups = 0;
    for (const auto &id : ids) {
        if (id.second.size() < 2)
            continue;
        if (++groups <= shownGroups)
            report(at + positionList(id.second) + " 个仪表在线路 " + quotedText(id.first.first) +
                   " 上的 id 同为 " + std::to_string(id.first.second) +
                   "，同一线路上的仪表会同时应答，请改 id");
    }
    if (groups > shownGroups)
        report("配置文件 " + path + " 中另有 " + std::to_string(groups - shownGroups) +
               " 组仪表在同一线路上 id 相同");
}

bool ConfigFile::readAlarmFilter(const json &object, const std::string &where, AlarmFilter &filter)
{
    const auto found = object.find("alarmFilter");
    if (found == object.end())
        return false;
    if (!found->is_object()) {
        report(where + describe(WrongType, "alarmFilter", "对象") + "，改用全部仪表的报警过滤");
        return false;
    }
    struct Key
    {
        const char *key;
        int AlarmFilter::*value;
        int low;
        int high;
    };
    const Key keys[] = {
        {"onDelay", &AlarmFilter::onDelay, 1, AlarmFilter::maxOnDelay},
        {"chatterRaises", &AlarmFilter::chatterRaises, 0, AlarmFilter::maxChatterRaises},
        {"chatterWindow", &AlarmFilter::chatterWindow, 1, AlarmFilter::maxChatterWindow},
        {"chatterHold", &AlarmFilter::chatterHold, 1, AlarmFilter::maxChatterHold},
    };
    for (const Key &key : keys) {
        int read = filter.*key.value;
        const Check check = readInt(*found, key.key, read);
        if (check == Missing)
            continue;
        const std::string name = std::string("alarmFilter.") + key.key;
        if (check != Valid)
            report(where + describe(check, name.c_str(), integerType) + "，改用 " +
                   std::to_string(filter.*key.value));
        else if (read < key.low || read > key.high)
            report(where + "的 \"" + name + "\" 为 " + std::to_string(read) + "，不在 " +
                   std::to_string(key.low) + " 到 " + std::to_string(key.high) + " 之间，改用 " +
                   std::to_string(filter.*key.value));
        else
            filter.*key.value = read;
    }
    return true;
}

json ConfigFile::alarmFilterJson(const AlarmFilter &filter)
{
    return {{"onDelay", filter.onDelay},
            {"chatterRaises", filter.chatterRaises},
            {"chatterWindow", filter.chatterWindow},
            {"chatterHold", filter.chatterHold}};
}

void ConfigFile::reportNames(const std::vector<const MonitorBase *> &loaded)
{
    // Records are kept under the monitor's name: monitors of one name share them.
    std::map<std::string, std::vector<size_t>> positions;
    for (size_t i = 0; i < loaded.size(); ++i) {
        if (loaded[i])
            positions[loaded[i]->getUsername()].push_back(i + 1);
    }
    for (const auto &name : positions) {
        if (name.second.size() < 2)
            continue;
        report("配置文件 " + path + " 中第 " + positionList(name.second) + " 个仪表同名 " +
               quotedText(name.first) + "，它们的历史数据会混在一起，请改名");
    }
}

json &ConfigFile::monitorList()
{
    return ownedList(document, "monitor", owners);
}

int ConfigFile::entryOf(const MonitorBase *monitor) const
{
    return ownerIndex(owners, monitor);
}

json ConfigFile::entryFor(const MonitorBase *monitor)
{
    json entry = {{"model", monitor->getModel()},    {"username", monitor->getUsername()},
                  {"id", monitor->getId()},          {"channel", monitor->getChannel()},
                  {"running", monitor->isRunning()}, {"record", monitor->isRecord()}};
    // Only a monitor's own: without it the monitor follows the station's filter.
    if (const AlarmFilter *own = monitor->ownAlarmFilter())
        entry["alarmFilter"] = alarmFilterJson(*own);
    // Files of stations with one line stay without it.
    if (!monitor->getLine().empty())
        entry["line"] = monitor->getLine();
    return entry;
}

void ConfigFile::update(json &entry, const MonitorBase *monitor)
{
    // Keys the station does not know stay in the entry.
    if (entry.is_object()) {
        entry.update(entryFor(monitor));
        if (!monitor->ownAlarmFilter())
            entry.erase("alarmFilter");
        // On the first line now; an unusable "line" stays while the monitor has none.
        if (monitor->getLine().empty() && monitor->getLineIndex() >= 0)
            entry.erase("line");
    } else {
        entry = entryFor(monitor);
    }
}

void ConfigFile::appendMonitor(const MonitorBase *monitor)
{
    if (!monitor)
        return;
    json &list = monitorList();
    const int own = entryOf(monitor);
    if (own >= 0) {
        update(list[size_t(own)], monitor);
        return;
    }
    list.push_back(entryFor(monitor));
    owners.push_back(monitor);
}

void ConfigFile::removeMonitor(const MonitorBase *monitor)
{
    const int own = entryOf(monitor);
    if (!monitor || own < 0)
        return;
    json &list = monitorList();
    list.erase(size_t(own));
    owners.erase(owners.begin() + own);
}

void ConfigFile::writeMonitors(const MonitorCollection *collection)
{
    if (!collection)
        return;
    document["interval"] = collection->getInterval();
    // Files of older builds stay as they were while the default is kept.
    if (document.contains("alarmFilter") || collection->getAlarmFilter() != AlarmFilter())
        document["alarmFilter"] = alarmFilterJson(collection->getAlarmFilter());
    json &list = monitorList();
    const std::vector<MonitorBase *> &monitors = collection->getMonitors();
    // In one pass each way: a station may hold thousands of monitors.
    const std::unordered_set<const MonitorBase *> present(monitors.begin(), monitors.end());
    json kept = json::array();
    std::vector<const MonitorBase *> keptOwners;
    keptOwners.reserve(owners.size());
    std::unordered_map<const MonitorBase *, size_t> entries;
    for (size_t i = 0; i < owners.size(); ++i) {
        if (owners[i] && !present.count(owners[i]))
            continue;
        if (owners[i])
            entries.emplace(owners[i], keptOwners.size());
        kept.push_back(std::move(list[i]));
        keptOwners.push_back(owners[i]);
    }
    list = std::move(kept);
    owners = std::move(keptOwners);
    for (const MonitorBase *monitor : monitors) {
        const auto own = entries.find(monitor);
        if (own != entries.end()) {
            update(list[own->second], monitor);
        } else {
            entries.emplace(monitor, list.size());
            list.push_back(entryFor(monitor));
            owners.push_back(monitor);
        }
    }
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

bool ConfigFile::readSetting(const char *key, int &value)
{
    const Check check = readInt(document, key, value);
    if (check != Valid)
        report("配置文件 " + path + " 中" + describe(check, key, integerType) + "，改用 " +
               std::to_string(value));
    return check == Valid;
}

void ConfigFile::readBounded(const json &object, const std::string &at, const char *key, int &value,
                             bool (*accepted)(int), const char *range)
{
    // A serial line takes no fraction: 8.7 data bits are neither 8 nor 7.
    const auto found = object.is_object() ? object.find(key) : object.end();
    if (found != object.end() && found->is_number_float() && std::isfinite(found->get<double>()) &&
        found->get<double>() != std::trunc(found->get<double>())) {
        report(at + "的 \"" + key + "\" 为 " + found->dump() + "，不是整数，" + "改用 " +
               std::to_string(value));
        return;
    }
    int read = value;
    const Check check = readInt(object, key, read);
    if (check != Valid)
        report(at + describe(check, key, integerType) + "，改用 " + std::to_string(value));
    else if (accepted(read))
        value = read;
    else
        report(at + "的 \"" + key + "\" 为 " + std::to_string(read) + "，" + range + "，改用 " +
               std::to_string(value));
}

bool ConfigFile::hasControlCharacter(const std::string &text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F)
            return true;
        // U+0080 to U+009F
        if (byte == 0xC2 && i + 1 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

void ConfigFile::report(const std::string &problem)
{
    problemList.push_back(problem);
    if (copied || copySource == NoCopy)
        return;
    copied = true;
    std::string copy;
    if (keepCopy(copy))
        problemList.push_back("配置文件 " + path + " 的原内容已另存为 " + copy);
    else
        problemList.push_back("配置文件 " + path + " 无法另存为 " + copy);
}

bool ConfigFile::keepCopy(std::string &copy) const
{
    // Every failing start may hold another version of the operator's file: each is kept,
    // but the same bytes only once.
    const int maxCopies = 1000;
    for (int number = 0; number < maxCopies; ++number) {
        copy = path + ".invalid" + (number ? "." + std::to_string(number) : std::string());
        const QString name = QString::fromStdString(copy);
        const QFileInfo info(name);
        if (!info.exists() && !info.isSymLink()) {
            const bool kept = copySource == LoadedText
                                  ? writeFile(copy, loadedText)
                                  : QFile::copy(QString::fromStdString(path), name);
            // Never open to other users: QFile::copy gives the copy the original's mode, which a
            // file made by hand, or by another member of the group, may have open to everyone.
            const QFileDevice::Permissions others =
                QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
            return kept && QFile::setPermissions(name, QFile::permissions(name) & ~others);
        }
        if (holdsSameBytes(copy))
            return true;
    }
    copy = path + ".invalid";
    return false;
}

bool ConfigFile::holdsSameBytes(const std::string &copy) const
{
    QFile existing(QString::fromStdString(copy));
    QFile original(QString::fromStdString(path));
    if (!existing.open(QIODevice::ReadOnly))
        return false;
    const bool inMemory = copySource == LoadedText;
    if (!inMemory && !original.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = inMemory ? qint64(loadedText.size()) : original.size();
    if (existing.size() != size)
        return false;
    const qint64 chunk = 1 << 16;
    for (qint64 offset = 0; offset < size; offset += chunk) {
        const QByteArray kept = existing.read(chunk);
        const QByteArray expected =
            inMemory ? QByteArray::fromRawData(loadedText.data() + offset,
                                               int(std::min(chunk, size - offset)))
                     : original.read(chunk);
        if (kept.isEmpty() || kept != expected)
            return false;
    }
    return true;
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

void ConfigFile::readHj212(Hj212Settings &settings,
                           const std::map<std::string, std::string> &monitorModels)
{
    if (!fromFile)
        return;
    const std::string at = "配置文件 " + path + " 中";
    const auto platforms = document.find("platforms");
    if (platforms != document.end() && !platforms->is_array())
        report(at + describe(WrongType, "platforms", "数组") + "，不上传数据");
    settings.platforms.clear();
    if (platforms != document.end() && platforms->is_array()) {
        int position = 0;
        for (const json &entry : *platforms) {
            const std::string where = at + "第 " + std::to_string(++position) + " 个平台";
            if (!entry.is_object()) {
                report(where + "不是 JSON 对象，未使用");
                continue;
            }
            Hj212Settings::Platform platform;
            const auto text = [&](const char *key, std::string &value) {
                const Check check = readText(entry, key, value);
                if (check == WrongType)
                    report(where + describe(check, key, textType));
            };
            const auto integer = [&](const char *key, int &value) {
                const Check check = readInt(entry, key, value);
                if (check == WrongType || check == OutOfRange)
                    report(where + describe(check, key, integerType) + "，改用 " +
                           std::to_string(value));
            };
            text("name", platform.name);
            const Check enabled = readFlag(entry, "enabled", platform.enabled);
            if (enabled == WrongType) {
                report(where + describe(enabled, "enabled", flagType) + "，不向它上传");
                platform.enabled = false;
            }
            text("host", platform.host);
            integer("port", platform.port);
            text("st", platform.st);
            text("pw", platform.pw);
            integer("rtdInterval", platform.rtdInterval);
            integer("minuteInterval", platform.minuteInterval);
            integer("overTime", platform.overTime);
            integer("reCount", platform.reCount);
            const auto points = entry.find("points");
            if (points != entry.end() && !points->is_array())
                report(where + describe(WrongType, "points", "数组"));
            if (points != entry.end() && points->is_array()) {
                for (const json &item : *points) {
                    Hj212Settings::Point point;
                    if (!item.is_object() || readText(item, "mn", point.mn) != Valid) {
                        report(where + "的监测点缺少文本 \"mn\"，该点未使用");
                        continue;
                    }
                    const auto monitors = item.find("monitors");
                    if (monitors == item.end() || !monitors->is_array())
                        report(where + "的监测点 " + quotedText(point.mn) +
                               describe(monitors == item.end() ? Missing : WrongType, "monitors",
                                        "数组"));
                    else
                        for (const json &name : *monitors) {
                            if (name.is_string())
                                point.monitors.push_back(name.get<std::string>());
                            else
                                report(where + "的监测点 " + quotedText(point.mn) +
                                       " 中有不是文本的仪表名");
                        }
                    platform.points.push_back(point);
                }
            }
            settings.platforms.push_back(platform);
        }
    }
    settings.codes.clear();
    const auto codes = document.find("codes");
    if (codes != document.end() && !codes->is_object())
        report(at + describe(WrongType, "codes", "对象") + "，只用内置编码");
    if (codes != document.end() && codes->is_object())
        for (const auto &item : codes->items()) {
            if (item.value().is_string())
                settings.codes[item.key()] = item.value().get<std::string>();
            else
                report(at + "因子 " + quotedText(item.key()) + " 的编码不是文本，该因子不上传");
        }
    for (const std::string &problem : settings.validate(monitorModels))
        report(at + "：" + problem);
}

void ConfigFile::writeHj212(const Hj212Settings &settings)
{
    json platforms = json::array();
    for (const Hj212Settings::Platform &platform : settings.platforms) {
        json points = json::array();
        for (const Hj212Settings::Point &point : platform.points)
            points.push_back({{"mn", point.mn}, {"monitors", point.monitors}});
        platforms.push_back({{"name", platform.name},
                             {"enabled", platform.enabled},
                             {"host", platform.host},
                             {"port", platform.port},
                             {"st", platform.st},
                             {"pw", platform.pw},
                             {"rtdInterval", platform.rtdInterval},
                             {"minuteInterval", platform.minuteInterval},
                             {"overTime", platform.overTime},
                             {"reCount", platform.reCount},
                             {"points", points}});
    }
    document["platforms"] = platforms;
    json codes = json::object();
    for (const auto &entry : settings.codes)
        codes[entry.first] = entry.second;
    document["codes"] = codes;
}

std::map<std::string, std::string> ConfigFile::monitorModels() const
{
    std::map<std::string, std::string> models;
    const auto list = document.find("monitor");
    if (list == document.end() || !list->is_array())
        return models;
    for (const json &entry : *list) {
        std::string name;
        std::string model;
        if (entry.is_object() && readText(entry, "username", name) == Valid &&
            readText(entry, "model", model) == Valid)
            models.emplace(name, model);
    }
    return models;
}
