// Placeholder: being replaced by the settings tab.
#include "settings/settingsconfig.h"
#include "ui_settingsconfig.h"
int SettingsModel::rowCount(const QModelIndex&) const { return 0; }
int SettingsModel::columnCount(const QModelIndex&) const { return 0; }
QVariant SettingsModel::data(const QModelIndex&, int) const { return {}; }
bool SettingsModel::setData(const QModelIndex&, const QVariant&, int) { return false; }
QVariant SettingsModel::headerData(int, Qt::Orientation, int) const { return {}; }
Qt::ItemFlags SettingsModel::flags(const QModelIndex& i) const { return QAbstractTableModel::flags(i); }
SettingsConfig::SettingsConfig(QWidget* parent) : QWidget(parent), ui(new Ui::SettingsConfig), model(new SettingsModel) { ui->setupUi(this); ui->tableView->setModel(model); }
SettingsConfig::~SettingsConfig() { delete ui; delete model; }
