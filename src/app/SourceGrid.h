#pragma once
// The source list as the window holds it: a one-column table whose rows are
// mailbox paths in the order they were added. The empty list is one row with
// no text, never zero rows. Each cell keeps the path's native form beside the
// text it shows.
#include <QString>
#include <filesystem>

class QTableWidget;

namespace mailvane {

// One column of `columnWidth` pixels, no headers, read-only, pale-yellow
// cells, and the one empty row.
void SetUpSourceGrid(QTableWidget* grid, int columnWidth);

// The path goes into the empty row of an empty list, else into a new last
// row; that row becomes the current one.
void AppendSourcePath(QTableWidget* grid, const std::filesystem::path& path);
void ClearSourceGrid(QTableWidget* grid);

QString SourceText(const QTableWidget* grid, int row);
std::filesystem::path SourcePath(const QTableWidget* grid, int row);
bool SourceListIsEmpty(const QTableWidget* grid);
// True when at least one row holds more than blanks.
bool SourceListHoldsPath(const QTableWidget* grid);

}  // namespace mailvane
