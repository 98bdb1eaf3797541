#include "hj212settings.h"

#include <algorithm>
#include <set>

namespace {

const char *const builtInCodes[][2] = {{"pH", "w01001"}, {"DO", "w01009"}, {"Temper", "w01010"}};

bool hasControl(const std::string &text)
{
    for (unsigned char byte : text)
        if (byte < 0x20 || byte == 0x7F)
            return true;
    return false;
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

} // namespace

bool Hj212Settings::Platform::operator==(const Platform &other) const
{
    return name == other.name && enabled == other.enabled && host == other.host &&
           port == other.port && st == other.st && pw == other.pw &&
           rtdInterval == other.rtdInterval && minuteInterval == other.minuteInterval &&
           overTime == other.overTime && reCount == other.reCount && points == other.points;
}

std::string Hj212Settings::codeIn(const std::map<std::string, std::string> &codes,
                                  const std::string &monitor, const std::string &factor)
{
    auto found = codes.find(monitor + "/" + factor);
    if (found != codes.end())
        return found->second;
    found = codes.find(factor);
    if (found != codes.end())
        return found->second;
    for (const auto &builtIn : builtInCodes)
        if (factor == builtIn[0])
            return builtIn[1];
    return std::string();
}

std::vector<std::string> Hj212Settings::factorsOfModel(const std::string &model)
{
    // As the models' syncs fit their sensors: the main factor by the configuration words, a
    // temperature where one is fitted.
    if (model == "DI590" || model == "RO592")
        return {"DO", "Temper"};
    if (model == "DO580")
        return {"pH", "ORP", "Temper"};
    if (model == "RA550")
        return {"RCL", "O3", "Temper"};
    return {};
}

bool Hj212Settings::isPacketText(const std::string &text)
{
    return !hasControl(text) && text.find_first_of(" \t;,&=") == std::string::npos;
}

std::string Hj212Settings::Resolved::code(const std::string &monitor,
                                          const std::string &factor) const
{
    const auto of = known.find(monitor);
    if (of != known.end()) {
        const auto found = of->second.find(factor);
        return found == of->second.end() ? std::string() : found->second;
    }
    const std::string code = codeIn(codes, monitor, factor);
    return taken.count(code) ? std::string() : code;
}

Hj212Settings::Resolved
Hj212Settings::resolve(const Point &point,
                       const std::map<std::string, std::string> &monitorModels) const
{
    Resolved resolved;
    resolved.codes = codes;
    for (const std::string &monitor : point.monitors) {
        const auto model = monitorModels.find(monitor);
        if (model == monitorModels.end() || resolved.known.count(monitor))
            continue;
        std::map<std::string, std::string> &own = resolved.known[monitor];
        for (const std::string &factor : factorsOfModel(model->second)) {
            const std::string code = codeFor(monitor, factor);
            if (code.empty() || !isPacketText(code) || !resolved.taken.insert(code).second)
                continue;
            own[factor] = code;
        }
    }
    return resolved;
}

std::vector<std::string>
Hj212Settings::validate(const std::map<std::string, std::string> &monitorModels,
                        Hj212Settings *usable) const
{
    std::vector<std::string> problems;
    if (usable)
        *usable = *this;
    for (const auto &entry : codes) {
        if (entry.first.empty() || hasControl(entry.first))
            problems.push_back("因子编码表中有空的或含控制字符的因子名");
        else if (!entry.second.empty() && !isPacketText(entry.second))
            problems.push_back("因子 " + quoted(entry.first) + " 的编码 " + quoted(entry.second) +
                               " 含有空格、控制字符或 ;,&= 之一，该因子不上传");
    }
    if (usable)
        for (auto &entry : usable->codes)
            if (!isPacketText(entry.second))
                entry.second.clear();
    if (platforms.size() > size_t(maxPlatforms))
        problems.push_back("数据上传最多 " + std::to_string(maxPlatforms) + " 个平台，第 " +
                           std::to_string(maxPlatforms + 1) + " 个起不使用");
    if (usable && usable->platforms.size() > size_t(maxPlatforms))
        usable->platforms.resize(size_t(maxPlatforms));

    std::set<std::string> names;
    for (size_t p = 0; p < platforms.size() && p < size_t(maxPlatforms); ++p) {
        const Platform &platform = platforms[p];
        const std::string at =
            "平台 " + quoted(platform.name.empty() ? std::to_string(p + 1) : platform.name);
        std::vector<std::string> own;
        if (platform.name.empty() || hasControl(platform.name))
            own.push_back(at + " 的名称为空或含有控制字符");
        else if (!names.insert(platform.name).second)
            own.push_back(at + " 重名");
        if (platform.host.empty() || hasControl(platform.host) ||
            platform.host.find(' ') != std::string::npos)
            own.push_back(at + " 的地址为空或含有空格、控制字符");
        if (platform.port < 1 || platform.port > 65535)
            own.push_back(at + " 的端口 " + std::to_string(platform.port) +
                          " 不在 1 到 65535 之间");
        if (platform.st.size() != 2 || !std::all_of(platform.st.begin(), platform.st.end(),
                                                    [](char c) { return c >= '0' && c <= '9'; }))
            own.push_back(at + " 的系统编码 ST " + quoted(platform.st) + " 不是两位数字");
        if (platform.pw.size() != pwLength || !isPacketText(platform.pw))
            own.push_back(at + " 的访问密码 PW 不是 " + std::to_string(pwLength) +
                          " 个字符（不含空格和 ;,&=）");
        if (platform.rtdInterval < minRtdInterval || platform.rtdInterval > maxRtdInterval)
            own.push_back(at + " 的实时数据间隔 " + std::to_string(platform.rtdInterval) +
                          " 秒不在 30 到 3600 之间");
        if (platform.minuteInterval < 1 || platform.minuteInterval > 60 ||
            60 % platform.minuteInterval != 0)
            own.push_back(at + " 的分钟数据间隔 " + std::to_string(platform.minuteInterval) +
                          " 分钟不能整除 60");
        if (platform.overTime < 1 || platform.overTime > 300)
            own.push_back(at + " 的应答超时 " + std::to_string(platform.overTime) +
                          " 秒不在 1 到 300 之间");
        if (platform.reCount < 0 || platform.reCount > 99)
            own.push_back(at + " 的重发次数 " + std::to_string(platform.reCount) +
                          " 不在 0 到 99 之间");
        if (platform.points.empty())
            own.push_back(at + " 没有监测点");
        for (const std::string &problem : own)
            problems.push_back(problem + (platform.enabled ? "，不向该平台上传" : ""));
        if (usable && !own.empty())
            usable->platforms[p].enabled = false;

        std::set<std::string> mns;
        for (size_t i = 0; i < platform.points.size(); ++i) {
            const Point &point = platform.points[i];
            const std::string pointAt = at + " 的监测点 " + quoted(point.mn);
            if (point.mn.empty() || point.mn.size() > maxMnLength || !isPacketText(point.mn)) {
                problems.push_back(at + " 的第 " + std::to_string(i + 1) + " 个监测点的 MN " +
                                   quoted(point.mn) +
                                   " 不是 1 到 24 个字符（不含空格和 ;,&=），"
                                   "该点不上传");
                if (usable)
                    usable->platforms[p].points[i].monitors.clear();
                continue;
            }
            if (!mns.insert(point.mn).second) {
                problems.push_back(pointAt + " 重复，后一个不上传");
                if (usable)
                    usable->platforms[p].points[i].monitors.clear();
                continue;
            }
            if (point.monitors.empty())
                problems.push_back(pointAt + " 没有仪表");
            std::set<std::string> seen;
            for (const std::string &monitor : point.monitors) {
                if (!seen.insert(monitor).second)
                    problems.push_back(pointAt + " 中仪表 " + quoted(monitor) + " 重复");
                else if (!monitorModels.count(monitor))
                    problems.push_back(pointAt + " 中的仪表 " + quoted(monitor) + " 不存在");
            }
            // Codes that two monitors of the point would both upload.
            std::map<std::string, std::string> holder; // code -> "monitor 的 factor"
            for (const std::string &monitor : point.monitors) {
                const auto model = monitorModels.find(monitor);
                if (model == monitorModels.end())
                    continue;
                for (const std::string &factor : factorsOfModel(model->second)) {
                    const std::string code = codeFor(monitor, factor);
                    if (code.empty() || !isPacketText(code))
                        continue;
                    const std::string what = quoted(monitor) + " 的 " + factor;
                    const auto taken = holder.emplace(code, what);
                    if (!taken.second && taken.first->second != what)
                        problems.push_back(pointAt + " 中 " + taken.first->second + " 与 " + what +
                                           " 的编码同为 " + code + "，" + what + " 不上传");
                }
            }
        }
    }
    return problems;
}
