#include "app/SourceGrid.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

#include "app/NativePath.h"

namespace mailvane {

namespace {

const QColor kCellColour(255, 255, 191);
const QColor kSelectedColour(0, 0, 192);
const QColor kGridLineColour(192, 192, 192);
constexpr int kRowHeight = 16;
constexpr int kRootRole = Qt::UserRole + 1;

QTableWidgetItem* MakeCell(const QString& text, const QVariant& path) {
    auto* item = new QTableWidgetItem(text);
    item->setData(Qt::UserRole, path);
    item->setBackground(kCellColour);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

// The empty list's row: nothing to show, so nothing to colour or select.
QTableWidgetItem* MakeBlankRow() {
    auto* item = new QTableWidgetItem(QString());
    item->setFlags(Qt::ItemIsEnabled);
    return item;
}

}  // namespace

SourceTable::SourceTable(QWidget* parent) : QTableWidget(parent) {
    setColumnCount(1);
    setRowCount(1);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Pixel scrolling, snapped to whole rows: scrolling by items would align
    // the last row with the bottom edge and cut the top one.
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &SourceTable::SnapToRow);
    setGridStyle(Qt::SolidLine);
    setStyleSheet(QStringLiteral("QTableView { gridline-color: %1; }").arg(kGridLineColour.name()));
    QPalette colours = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        colours.setColor(group, QPalette::Base, Qt::white);  // outside the cells
        colours.setColor(group, QPalette::Highlight, kSelectedColour);
        colours.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    setPalette(colours);
    Clear();
}

void SourceTable::Append(const std::filesystem::path& path, const std::filesystem::path& root) {
    if (!SourceListIsEmpty(this)) setRowCount(rowCount() + 1);
    const int last = rowCount() - 1;
    const QString text = PathToQString(path);
    QTableWidgetItem* cell = MakeCell(text, PathToVariant(path));
    if (!root.empty()) cell->setData(kRootRole, PathToVariant(root));
    setItem(last, 0, cell);
    setShowGrid(true);
    widestText_ = std::max(widestText_, fontMetrics().horizontalAdvance(text));
    FitColumn();
    setCurrentCell(last, 0);
}

void SourceTable::Clear() {
    setRowCount(1);
    setItem(0, 0, MakeBlankRow());
    // No lines around a row that holds nothing: the empty list looks empty.
    setShowGrid(false);
    widestText_ = 0;
    FitColumn();
}

void SourceTable::FitColumn() {
    // The text's margins on both sides, as the style draws a cell, and the
    // grid line.
    const int margins = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    const int wanted = std::max(viewport()->width(), widestText_ + margins + 2);
    if (columnWidth(0) != wanted) setColumnWidth(0, wanted);
}

void SourceTable::updateGeometries() {
    QTableWidget::updateGeometries();
    FitColumn();
    // Room for whole rows only: the last scroll position is a whole number of
    // rows, even when that leaves blank space below the last one.
    QScrollBar* bar = verticalScrollBar();
    const int end = (bar->maximum() + kRowHeight - 1) / kRowHeight * kRowHeight;
    if (bar->maximum() != end) bar->setMaximum(end);
    bar->setSingleStep(kRowHeight);
    bar->setPageStep(std::max(kRowHeight, viewport()->height() / kRowHeight * kRowHeight));
    SnapToRow(bar->value());
}

void SourceTable::SnapToRow(int value) {
    // Upwards, so a row scrolled into view at the bottom is shown whole.
    const int snapped = (value + kRowHeight - 1) / kRowHeight * kRowHeight;
    if (snapped != value) verticalScrollBar()->setValue(snapped);
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

std::filesystem::path SourceRoot(const QTableWidget* grid, int row) {
    const QTableWidgetItem* item = grid->item(row, 0);
    const QVariant root = item ? item->data(kRootRole) : QVariant();
    return root.isValid() ? PathFromVariant(root) : std::filesystem::path();
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
