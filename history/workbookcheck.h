#ifndef WORKBOOKCHECK_H
#define WORKBOOKCHECK_H

#include <QString>

#include <vector>

// Reads a saved .xlsx file back as a reader would, to tell a complete workbook from one that a
// full disk or a file-size limit cut short while the writing library still reported success.
class WorkbookCheck
{
public:
    // rowsPerSheet: the rows written to each sheet, in the order the sheets were added. True
    // when every zip member reads to its end with its checksum right, the package parts and one
    // part per sheet are there, every XML part ends with its root element's closing tag, and
    // each sheet holds exactly its rows, numbered 1, 2, 3 ... without a gap.
    static bool isComplete(const QString &path, const std::vector<int> &rowsPerSheet);
};

#endif // WORKBOOKCHECK_H
