#include "sheetrecords.h"

#include "storage/recordrow.h"

void SheetRecords::add(const RecordRow &row)
{
    const uint32_t kind = kindOf(row);
    channels[row.channel].push_back({texts.size(), kind});
    texts.append(row.time.c_str(), row.time.size() + 1);
    texts.append(row.value.c_str(), row.value.size() + 1);
    ++count;
}

uint32_t SheetRecords::kindOf(const RecordRow &row)
{
    const auto same = [&row](const Kind &kind) {
        return kind.slave == row.slave && kind.model == row.model && kind.factor == row.factor &&
               kind.unit == row.unit && kind.status == row.status;
    };
    if (lastKind < kinds.size() && same(kinds[lastKind]))
        return lastKind;
    std::string key = row.model;
    for (const std::string *part : {&row.factor, &row.unit, &row.status}) {
        key += '\0';
        key += *part;
    }
    key += '\0';
    key += std::to_string(row.slave);
    const auto found = kindIndex.emplace(std::move(key), uint32_t(kinds.size()));
    if (found.second)
        kinds.push_back({row.model, row.slave, row.factor, row.unit, row.status});
    return lastKind = found.first->second;
}

void SheetRecords::clear()
{
    texts.clear();
    texts.shrink_to_fit();
    kinds.clear();
    kindIndex.clear();
    channels.clear();
    count = 0;
    lastKind = 0;
}

void SheetRecords::visit(const std::function<bool(const Cells &)> &visitor) const
{
    for (const auto &channel : channels) {
        const std::vector<Entry> &entries = channel.second;
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            const Kind &kind = kinds[entry->kind];
            const char *time = texts.data() + entry->text;
            const char *value = time + std::char_traits<char>::length(time) + 1;
            const Cells cells{time,          kind.model.c_str(),  kind.slave,
                              channel.first, kind.factor.c_str(), kind.unit.c_str(),
                              value,         kind.status.c_str()};
            if (!visitor(cells))
                return;
        }
    }
}
