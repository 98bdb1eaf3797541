#include "workbookcheck.h"

#include <QFile>

#include <unzip.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

namespace {

const char rowTag[] = "<row r=\"";
const size_t rowTagLength = sizeof(rowTag) - 1;
// A sheet has at most 1048576 rows.
const size_t rowNumberDigits = 7;
const size_t headLimit = 1024;
const size_t tailLimit = 64;
const char sheetPrefix[] = "xl/worksheets/sheet";

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The N of xl/worksheets/sheetN.xml; 0 for any other part.
size_t sheetNumber(const std::string &part)
{
    const size_t prefix = sizeof(sheetPrefix) - 1;
    if (part.compare(0, prefix, sheetPrefix) != 0 || !endsWith(part, ".xml"))
        return 0;
    const std::string digits = part.substr(prefix, part.size() - prefix - 4);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return size_t(std::stoi(digits));
}

// Follows one XML part as it streams past: its root element's name from the first bytes, its
// last bytes, and in a sheet the row numbers. A cut end shows as a missing closing tag; the
// hole a failed temporary write leaves inside a sheet as a row number out of sequence.
class PartScan
{
public:
    explicit PartScan(bool sheet) : sheet(sheet) {}

    void feed(const char *data, size_t size)
    {
        if (head.size() < headLimit)
            head.append(data, std::min(size, headLimit - head.size()));
        if (size >= tailLimit) {
            tail.assign(data + size - tailLimit, tailLimit);
        } else {
            tail.append(data, size);
            if (tail.size() > tailLimit)
                tail.erase(0, tail.size() - tailLimit);
        }
        if (sheet && !broken)
            scanRows(data, size);
    }

    bool isComplete(int expectedRows) const
    {
        const std::string root = rootName();
        if (root.empty())
            return false;
        const size_t end = tail.find_last_not_of(" \t\r\n");
        if (end == std::string::npos || !endsWith(tail.substr(0, end + 1), "</" + root + ">"))
            return false;
        return !sheet || (!broken && rows == expectedRows);
    }

private:
    std::string rootName() const
    {
        size_t at = 0;
        // Past the declaration, comments and the like.
        while ((at = head.find('<', at)) != std::string::npos && at + 1 < head.size() &&
               (head[at + 1] == '?' || head[at + 1] == '!'))
            ++at;
        if (at == std::string::npos)
            return std::string();
        const size_t end = head.find_first_of(" \t\r\n/>", at + 1);
        return end == std::string::npos ? std::string() : head.substr(at + 1, end - at - 1);
    }

    void scanRows(const char *data, size_t size)
    {
        pending.append(data, size);
        size_t from = 0;
        for (;;) {
            const void *found = memmem(pending.data() + from, pending.size() - from, rowTag,
                                       rowTagLength);
            if (!found) {
                // A tag may have begun in the last bytes.
                if (pending.size() >= rowTagLength)
                    from = std::max(from, pending.size() - (rowTagLength - 1));
                break;
            }
            const size_t number = size_t(static_cast<const char *>(found) - pending.data()) +
                                  rowTagLength;
            const size_t quote = pending.find('"', number);
            if (quote == std::string::npos) {
                if (pending.size() - number > rowNumberDigits) {
                    broken = true;
                    pending.clear();
                    return;
                }
                from = number - rowTagLength;
                break;
            }
            countRow(pending.substr(number, quote - number));
            from = quote + 1;
        }
        pending.erase(0, from);
    }

    void countRow(const std::string &number)
    {
        if (number.empty() || number.size() > rowNumberDigits ||
            number.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(number) != rows + 1)
            broken = true;
        ++rows;
    }

    const bool sheet;
    std::string head;
    std::string tail;
    // The sheet's bytes not yet scanned for row tags.
    std::string pending;
    int rows = 0;
    bool broken = false;
};

// Whether the file ends exactly with a zip's end record and its comment, as a reader looks
// for it. Readers find an end record in a file cut inside that record.
bool endsWithEndRecord(const QString &path)
{
    const qint64 recordSize = 22;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < recordSize)
        return false;
    const qint64 span = std::min(file.size(), recordSize + 0xffff);
    if (!file.seek(file.size() - span))
        return false;
    const QByteArray end = file.read(span);
    for (qint64 at = end.size() - recordSize; at >= 0; --at) {
        const char *record = end.constData() + at;
        if (std::memcmp(record, "PK\x05\x06", 4) != 0)
            continue;
        const qint64 comment = quint8(record[20]) | quint8(record[21]) << 8;
        return at + recordSize + comment == end.size();
    }
    return false;
}

// Reads the zip's current member to its end; false when it does not read back whole.
bool readMember(unzFile zip, const std::vector<int> &rowsPerSheet, std::set<std::string> &parts,
                std::vector<char> &buffer)
{
    unz_file_info64 info;
    char name[256] = {};
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) !=
        UNZ_OK)
        return false;
    const std::string part(name);
    const size_t sheet = sheetNumber(part);
    if (sheet > rowsPerSheet.size() || !parts.insert(part).second)
        return false;
    const bool xml = endsWith(part, ".xml") || endsWith(part, ".rels");
    PartScan scan(sheet > 0);
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return false;
    ZPOS64_T total = 0;
    int read;
    while ((read = unzReadCurrentFile(zip, buffer.data(), unsigned(buffer.size()))) > 0) {
        total += ZPOS64_T(read);
        if (xml)
            scan.feed(buffer.data(), size_t(read));
    }
    // The checksum is compared on closing, and only once every byte was read.
    const bool closed = unzCloseCurrentFile(zip) == UNZ_OK;
    if (read < 0 || !closed || total != info.uncompressed_size)
        return false;
    return !xml || scan.isComplete(sheet > 0 ? rowsPerSheet[sheet - 1] : 0);
}

} // namespace

bool WorkbookCheck::isComplete(const QString &path, const std::vector<int> &rowsPerSheet)
{
    if (!endsWithEndRecord(path))
        return false;
    unzFile zip = unzOpen64(QFile::encodeName(path).constData());
    if (!zip)
        return false;
    std::set<std::string> parts;
    std::vector<char> buffer(1 << 16);
    bool sound = true;
    int position = unzGoToFirstFile(zip);
    while (sound && position == UNZ_OK) {
        sound = readMember(zip, rowsPerSheet, parts, buffer);
        position = unzGoToNextFile(zip);
    }
    unzClose(zip);
    if (!sound || position != UNZ_END_OF_LIST_OF_FILE)
        return false;

    std::set<std::string> required{"[Content_Types].xml", "_rels/.rels", "xl/workbook.xml",
                                   "xl/_rels/workbook.xml.rels", "xl/styles.xml"};
    for (size_t sheet = 1; sheet <= rowsPerSheet.size(); ++sheet)
        required.insert(sheetPrefix + std::to_string(sheet) + ".xml");
    return std::includes(parts.begin(), parts.end(), required.begin(), required.end());
}
