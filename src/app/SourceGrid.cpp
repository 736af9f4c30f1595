#include "app/SourceGrid.h"

#include <QHeaderView>
#include <QTableWidget>

#include "app/NativePath.h"

namespace mailvane {

namespace {

const QColor kCellColour(255, 255, 191);
const QColor kSelectedColour(0, 0, 192);
const QColor kGridLineColour(192, 192, 192);

QTableWidgetItem* MakeCell(const QString& text, const QVariant& path) {
    auto* item = new QTableWidgetItem(text);
    item->setData(Qt::UserRole, path);
    item->setBackground(kCellColour);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

}  // namespace

void SetUpSourceGrid(QTableWidget* grid, int columnWidth) {
    grid->setColumnCount(1);
    grid->setRowCount(1);
    grid->horizontalHeader()->hide();
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setMinimumSectionSize(1);
    grid->verticalHeader()->setDefaultSectionSize(16);
    grid->setColumnWidth(0, columnWidth);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setWordWrap(false);
    grid->setTextElideMode(Qt::ElideNone);
    grid->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    grid->setGridStyle(Qt::SolidLine);
    grid->setStyleSheet(
        QStringLiteral("QTableView { gridline-color: %1; }").arg(kGridLineColour.name()));
    QPalette palette = grid->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Base, Qt::white);  // outside the cells
        palette.setColor(group, QPalette::Highlight, kSelectedColour);
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    grid->setPalette(palette);
    grid->setItem(0, 0, MakeCell(QString(), QVariant()));
}

void AppendSourcePath(QTableWidget* grid, const std::filesystem::path& path) {
    if (!SourceListIsEmpty(grid)) grid->setRowCount(grid->rowCount() + 1);
    const int last = grid->rowCount() - 1;
    grid->setItem(last, 0, MakeCell(PathToQString(path), PathToVariant(path)));
    grid->setCurrentCell(last, 0);
}

void ClearSourceGrid(QTableWidget* grid) {
    grid->setRowCount(1);
    grid->setItem(0, 0, MakeCell(QString(), QVariant()));
}

QString SourceText(const QTableWidget* grid, int row) {
    const QTableWidgetItem* item = grid->item(row, 0);
    return item ? item->text() : QString();
}

std::filesystem::path SourcePath(const QTableWidget* grid, int row) {
    const QTableWidgetItem* item = grid->item(row, 0);
    if (!item) return {};
    const QVariant native = item->data(Qt::UserRole);
    return native.isValid() ? PathFromVariant(native) : PathFromQString(item->text());
}

bool SourceListIsEmpty(const QTableWidget* grid) {
    return grid->rowCount() == 1 && SourceText(grid, 0).isEmpty();
}

bool SourceListHoldsPath(const QTableWidget* grid) {
    for (int row = 0; row < grid->rowCount(); ++row) {
        if (!SourceText(grid, row).trimmed().isEmpty()) return true;
    }
    return false;
}

}  // namespace mailvane
