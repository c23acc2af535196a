#pragma once

#include <QAbstractTableModel>
#include <QWidget>

namespace Ui {
class SettingsConfig;
}

// One row per setting: name, and the value as text (editable; a commit rewrites the file).
class SettingsModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    // A valid index of this model inside the table.
    bool IsOwnCell(const QModelIndex& index) const;
};

// The "Settings" tab.
class SettingsConfig : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsConfig(QWidget* parent = nullptr);
    ~SettingsConfig() override;

private:
    Ui::SettingsConfig* ui;
    SettingsModel* model;
};
