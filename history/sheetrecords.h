#ifndef SHEETRECORDS_H
#define SHEETRECORDS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

struct RecordRow;

// The records of one instrument's sheet of the full export, gathered in (time, uid) order and
// given back channel by channel, ascending, newest first within a channel: the order of the
// sheet. Held compactly, as a sheet may have a million rows: a row keeps its time and value
// texts, and the texts that repeat from row to row (model, slave, factor, unit, status) once.
class SheetRecords
{
public:
    // One record as visit() gets it; the texts are valid during the call only.
    struct Cells
    {
        const char *time;
        const char *model;
        int slave;
        int channel;
        const char *factor;
        const char *unit;
        const char *value;
        const char *status;
    };

    // Rows must come oldest first; the name is the sheet's and not kept.
    void add(const RecordRow &row);
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    void clear();
    // Every record in sheet order; visit returns false to stop.
    void visit(const std::function<bool(const Cells &)> &visitor) const;

private:
    struct Kind
    {
        std::string model;
        int32_t slave;
        std::string factor;
        std::string unit;
        std::string status;
    };
    struct Entry
    {
        // Offset of "time\0value\0" in texts.
        size_t text;
        uint32_t kind;
    };

    uint32_t kindOf(const RecordRow &row);

    std::string texts;
    std::vector<Kind> kinds;
    // The texts of a kind joined by NULs, which no text holds.
    std::unordered_map<std::string, uint32_t> kindIndex;
    std::map<int32_t, std::vector<Entry>> channels;
    size_t count = 0;
    // Rows of one channel mostly repeat the kind of the row before.
    uint32_t lastKind = 0;
};

#endif // SHEETRECORDS_H
