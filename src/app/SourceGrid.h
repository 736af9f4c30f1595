#pragma once
// The source list as the window holds it: a one-column table whose rows are
// mailbox paths in the order they were added. The empty list is one row with
// no text, never zero rows. Each cell keeps the path's native form beside the
// text it shows.
#include <QString>
#include <QTableWidget>
#include <filesystem>

namespace mailvane {

// One column, no headers, read-only, pale-yellow cells holding paths; the
// empty list's one row is left blank (white, no grid lines, not selectable).
//
// The column is as wide as the widest path, or as the visible area when that
// is wider, so a list of short paths has no horizontal scroll bar. Scrolling
// goes by whole rows: the top row is never cut, and at the end of the list
// the last row is shown whole with blank space below it.
class SourceTable : public QTableWidget {
    Q_OBJECT

public:
    explicit SourceTable(QWidget* parent = nullptr);

    // The path goes into the empty row of an empty list, else into a new
    // last row; that row becomes the current one. `root` is the folder the
    // user chose in which the mailbox was found, if it was.
    void Append(const std::filesystem::path& path, const std::filesystem::path& root = {});
    // Back to the one blank row.
    void Clear();

protected:
    void updateGeometries() override;

private:
    void FitColumn();
    void SnapToRow(int value);

    int widestText_ = 0;  // pixels, of every listed path
};

QString SourceText(const QTableWidget* grid, int row);
std::filesystem::path SourcePath(const QTableWidget* grid, int row);
// The folder searched that found the row's mailbox; empty for one chosen as a file.
std::filesystem::path SourceRoot(const QTableWidget* grid, int row);
bool SourceListIsEmpty(const QTableWidget* grid);
// True when at least one row holds more than blanks.
bool SourceListHoldsPath(const QTableWidget* grid);

}  // namespace mailvane
