#include "settings/settingsconfig.h"

#include "settings/settings.h"
#include "ui_settingsconfig.h"

namespace {
enum SettingsColumn { ColumnName = 0, ColumnValue = 1, ColumnCount };
}

bool SettingsModel::IsOwnCell(const QModelIndex& index) const
{
    return index.isValid() && index.model() == this && index.row() < rowCount() &&
           index.column() < columnCount();
}

int SettingsModel::rowCount(const QModelIndex& parent) const
{
    // A flat table: items have no children.
    if (parent.isValid())
        return 0;
    return SettingsNames::namesById.size();
}

int SettingsModel::columnCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return ColumnCount;
}

QVariant SettingsModel::data(const QModelIndex& index, int role) const
{
    // Rows outside the table are rejected before any read, since a read inserts an entry.
    if (!IsOwnCell(index))
        return QVariant();
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return QVariant();
    // Row r is setting id r.
    switch (index.column()) {
    case ColumnName:
        return QString::fromLatin1(SettingsNames::namesById.value(index.row()));
    case ColumnValue:
        return GetSettingsStringValue(index.row());
    default:
        return QVariant();
    }
}

bool SettingsModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!IsOwnCell(index) || role != Qt::EditRole)
        return false;
    // The QVariant overload: the file is rewritten even when the text did not change.
    SaveSettingsValue(index.row(), value);
    emit dataChanged(index, index);
    return true;
}

QVariant SettingsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal) {
        if (section == ColumnName)
            return QStringLiteral("Name");
        if (section == ColumnValue)
            return QStringLiteral("Value");
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags SettingsModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags result = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == ColumnValue)
        result |= Qt::ItemIsEditable;
    return result;
}

SettingsConfig::SettingsConfig(QWidget* parent)
    : QWidget(parent), ui(new Ui::SettingsConfig), model(new SettingsModel)
{
    ui->setupUi(this);
    ui->tableView->setModel(model);
    ui->tableView->setColumnWidth(ColumnName, 200);
}

SettingsConfig::~SettingsConfig()
{
    delete ui;
    // The view does not own its model. Deleting it before the view (a child, destroyed later by
    // QWidget) is safe: the view drops a destroyed model.
    delete model;
}
