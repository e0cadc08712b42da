#include "core/files/backupfiles.h"
#include "core/model/wording.h"
#include "gui/datautility.h"
#include "gui/screenfit.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLayout>
#include <QMargins>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStyle>
#include <QTreeView>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Qt's file system model's columns, and the selector's: the type tells nothing here (every file is
// a backup) and the time of the last change is not when the backup was made.
enum SourceColumn
{
    SourceName = 0,
    SourceSize = 1,
    SourceType = 2,
};
enum Column
{
    NameColumn = 0,
    SizeColumn = 1,
    CreatedColumn = 2, // in place of the time of the last change
};

// Backups newest first by the time in their names: by name, day-month-year names put 08/12 between
// 02/12 and 15/11. Folders stay first; files whose names carry no time follow, by name.
class BackupFilesModel final : public QSortFilterProxyModel
{
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void sort(int column, Qt::SortOrder order) override
    {
        // By size, the file system model's own order; by name or by date, the names' times.
        QSortFilterProxyModel::sort(column == SizeColumn ? -1 : column, order);
        if (column == SizeColumn) {
            sourceModel()->sort(SourceSize, order);
        }
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role != Qt::DisplayRole || index.column() == NameColumn) {
            return QSortFilterProxyModel::data(index, role);
        }
        const QModelIndex source = mapToSource(index);
        if (files().isDir(source)) {
            return QString();
        }
        return index.column() == SizeColumn ? wording::size(files().size(source))
                                            : wording::dateTime(backupNameTime(nameOf(source)));
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section == CreatedColumn) {
            return u"Dibuat"_s;
        }
        return QSortFilterProxyModel::headerData(section, orientation, role);
    }

protected:
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex&) const override
    {
        return sourceColumn != SourceType;
    }

    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override
    {
        if (files().isDir(left) != files().isDir(right)) {
            return files().isDir(left);
        }
        const QDateTime leftTime = backupNameTime(nameOf(left));
        const QDateTime rightTime = backupNameTime(nameOf(right));
        if (leftTime != rightTime) {
            return leftTime.isValid() && (!rightTime.isValid() || leftTime > rightTime);
        }
        return nameOf(left).compare(nameOf(right), Qt::CaseInsensitive) < 0;
    }

private:
    const QFileSystemModel& files() const
    {
        return static_cast<const QFileSystemModel&>(*sourceModel());
    }

    // The file system model gives a cell's text as the file's name, whatever its column.
    QString nameOf(const QModelIndex& source) const
    {
        return files().fileName(source.siblingAtColumn(SourceName));
    }
};

// The widest of `texts` in a cell of `view`'s column, with the cell's margins.
int cellWidth(const QTreeView& view, const QStringList& texts, int column)
{
    const QFontMetrics metrics = view.fontMetrics();
    int widest = view.header()->sectionSizeHint(column);
    for (const QString& text : texts) {
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    const int margin = view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
    return widest + 2 * margin + metrics.averageCharWidth();
}

// Every day of a year: each weekday with each month, one- and two-digit days.
QStringList everyDateText()
{
    QStringList texts;
    const QDateTime start(QDate(2026, 1, 1), QTime(22, 22));
    for (int day = 0; day < 365; ++day) {
        texts << wording::dateTime(start.addDays(day));
    }
    return texts;
}

// The date and the size get what their texts need, the name the rest and at least what a regular
// backup's name needs beside its icon. The list's width counts in the selector's smallest width.
void sizeColumns(QTreeView& view)
{
    QHeaderView& header = *view.header();
    header.resizeSection(SizeColumn, cellWidth(view, {wording::size(999'900'000)}, SizeColumn));
    header.resizeSection(CreatedColumn, cellWidth(view, everyDateText(), CreatedColumn));
    const QString name = editionWord.toString() + u"00000000000000.dbk"_s;
    const int nameWidth =
        cellWidth(view, {name}, NameColumn) + view.iconSize().width() + view.indentation();
    const int frame = view.frameWidth() * 2 +
                      view.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &view);
    const int width =
        nameWidth + header.sectionSize(SizeColumn) + header.sectionSize(CreatedColumn) + frame;
    // The pages around the list would let the splitter ignore its smallest width.
    for (QWidget* widget = &view; widget != nullptr && qobject_cast<QSplitter*>(widget) == nullptr;
         widget = widget->parentWidget()) {
        widget->setMinimumWidth(width);
    }
}

// The selector's smallest width with the list's, and with the panel of places as wide as its
// names, when it shows. Qt's layout of the selector ignores what the list and the panel need;
// before it is shown it keeps what it measured.
int smallestWidth(QFileDialog& selector, const QWidget* places)
{
    selector.layout()->invalidate();
    const auto* splitter = selector.findChild<QSplitter*>(u"splitter"_s);
    const QMargins margins = selector.layout()->contentsMargins();
    const int placesNames =
        places == nullptr || places->isHidden()
            ? 0
            : std::max(0, places->sizeHint().width() - places->minimumSizeHint().width());
    return std::max(selector.minimumSizeHint().width(),
                    splitter == nullptr ? 0
                                        : splitter->minimumSizeHint().width() + placesNames +
                                              margins.left() + margins.right());
}

// Where the screen is too narrow for the three columns (a large scale on a small screen), the
// panel of places beside the list gives up its room first, then the list's font gets smaller, as
// the windows' fonts do.
void fitColumns(QFileDialog& selector, QTreeView& view)
{
    QHeaderView& header = *view.header();
    header.setStretchLastSection(false);
    header.setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    header.setSectionResizeMode(SizeColumn, QHeaderView::Fixed);
    header.setSectionResizeMode(CreatedColumn, QHeaderView::Fixed);
    // A name too long for its column keeps its start, where the date is.
    view.setTextElideMode(Qt::ElideRight);
    // The header's menu of columns counts Qt's four columns, not these three.
    header.setContextMenuPolicy(Qt::NoContextMenu);
    auto* places = selector.findChild<QWidget*>(u"sidebar"_s);
    for (sizeColumns(view); smallestWidth(selector, places) > roomOnScreen(selector).width();
         sizeColumns(view)) {
        if (places != nullptr && !places->isHidden()) {
            places->hide();
        } else if (!makeFontSmaller(view)) {
            break;
        }
    }
    // Qt places the selector by the size it has when shown, before its layout takes effect.
    const int width = smallestWidth(selector, places);
    selector.resize(std::max(selector.width(), width), selector.height());
    auto* splitter = selector.findChild<QSplitter*>(u"splitter"_s);
    if (splitter != nullptr && places != nullptr && !places->isHidden()) {
        // Otherwise the panel keeps the width of the selector last shown, however narrow.
        splitter->setSizes({places->sizeHint().width(), view.minimumWidth()});
    }
}

} // namespace

void showBackupsIn(QFileDialog& selector)
{
    // A platform's own selector takes no model of the program's.
    selector.setOption(QFileDialog::DontUseNativeDialog);
    selector.setProxyModel(new BackupFilesModel(&selector));
    selector.setViewMode(QFileDialog::Detail);
    if (auto* view = selector.findChild<QTreeView*>(u"treeView"_s)) {
        fitColumns(selector, *view);
    }
}

} // namespace ranupa
