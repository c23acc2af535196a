#include "core/common.h"
#include "core/logging.h"
#include "settings/settings.h"
#include "settings/settingsconfig.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QFile>
#include <QGridLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QTableView>
#include <QtTest>

namespace {

bool WriteWholeFile(const QString& fileName, const QByteArray& content)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// The value of one setting as the settings file holds it, with its type name.
QString ValueInFile(const QString& fileName, const QString& name, QString* typeName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<no file>");
    QVariantMap pairs;
    try {
        pairs = SettingsXmlProcedures::ImportSettingsFromXml(&file);
    } catch (const std::exception& e) {
        return QStringLiteral("<unreadable: %1>").arg(QString::fromLatin1(e.what()));
    }
    if (!pairs.contains(name))
        return QStringLiteral("<no entry>");
    *typeName = QString::fromLatin1(pairs.value(name).typeName());
    return pairs.value(name).toString();
}

} // namespace

class Tst_settingsconfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formLayout();
    void modelPassesModelTester();
    void modelShape();
    void cellsShowStoredText_data();
    void cellsShowStoredText();
    void setDataStoresTextAndRewritesFile();
    void setDataRejectsOtherRolesAndIndexes();
    void editingInViewStoresText_data();
    void editingInViewStoresText();
    void committingUnchangedValueRewritesFile();
    void unwritableFileKeepsValue();

private:
    // Opens the editor on the value cell of a row, replaces its text and presses Enter.
    bool EditValueCell(QTableView* view, int row, const QString* text, QString* error);

    QString settingsFile;
};

void Tst_settingsconfig::initTestCase()
{
    InitializeCommonModule();
    InitializeLoggingModule();
    settingsFile = GetSettingsFileName();
}

void Tst_settingsconfig::init()
{
    QFile::remove(settingsFile);
    InitializeSettings();
}

void Tst_settingsconfig::cleanup()
{
    QFile::remove(settingsFile);
    QDir().rmdir(settingsFile);
}

void Tst_settingsconfig::formLayout()
{
    SettingsConfig widget;
    QCOMPARE(widget.objectName(), QStringLiteral("settingsconfig"));
    QCOMPARE(widget.size(), QSize(400, 300));
    QCOMPARE(widget.windowTitle(), QStringLiteral("Form"));

    auto* grid = qobject_cast<QGridLayout*>(widget.layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    auto* view = widget.findChild<QTableView*>(QStringLiteral("tableView"));
    QVERIFY(view);
    QVERIFY(grid->itemAtPosition(0, 0));
    QCOMPARE(grid->itemAtPosition(0, 0)->widget(), view);
    QCOMPARE(grid->count(), 1);

    QVERIFY(!view->isCornerButtonEnabled());
    QVERIFY(view->verticalHeader()->isHidden());
    QCOMPARE(view->horizontalHeader()->defaultSectionSize(), 200);
    QCOMPARE(view->horizontalHeader()->minimumSectionSize(), 200);
    QCOMPARE(view->columnWidth(0), 200);
    QVERIFY(qobject_cast<SettingsModel*>(view->model()));
    QVERIFY2(view->model()->parent() == nullptr, "the widget deletes the model itself");
}

void Tst_settingsconfig::modelPassesModelTester()
{
    SaveSettingsValue(UDPTX_UI_DestinationHost, QStringLiteral("10.0.0.2"));
    SettingsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(model.setData(model.index(UDPRX_MeasurementsIntervalSecs, 1), QStringLiteral("30")));
}

void Tst_settingsconfig::modelShape()
{
    SettingsModel model;
    QCOMPARE(model.rowCount(), 10);
    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);

    QCOMPARE(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
             QStringLiteral("Name"));
    QCOMPARE(model.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
             QStringLiteral("Value"));
    QCOMPARE(model.headerData(0, Qt::Vertical, Qt::DisplayRole), QVariant(1));
    QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());

    const Qt::ItemFlags base = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    for (int row = 0; row < model.rowCount(); ++row) {
        QCOMPARE(model.flags(model.index(row, 0)), base);
        QCOMPARE(model.flags(model.index(row, 1)), base | Qt::ItemIsEditable);
    }
    QCOMPARE(model.flags(QModelIndex()) & Qt::ItemIsEditable, Qt::ItemFlags());

    // Row r is setting id r, so the names stand in id order.
    for (int row = 0; row < model.rowCount(); ++row)
        QCOMPARE(model.data(model.index(row, 0)).toString(),
                 QString::fromLatin1(SettingsNames::namesById.value(row)));
    QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("UDPTX_UI_DestinationHost"));
    QCOMPARE(model.data(model.index(9, 0)).toString(),
             QStringLiteral("TestManager_UserDefinedAgentId"));
}

void Tst_settingsconfig::cellsShowStoredText_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("shown");

    QTest::newRow("text") << int(UDPTX_UI_DestinationHost) << QVariant(QStringLiteral("10.0.0.2"))
                          << "10.0.0.2";
    QTest::newRow("integer") << int(UDPTX_UI_DestinationPort) << QVariant(5004) << "5004";
    QTest::newRow("sealed password text shown unchanged")
        << int(TestManager_Password) << QVariant(QStringLiteral("q1w2+/e3R4=="))
        << "q1w2+/e3R4==";
    QTest::newRow("never stored") << int(TestManager_UserId) << QVariant() << "";
}

void Tst_settingsconfig::cellsShowStoredText()
{
    QFETCH(int, id);
    QFETCH(QVariant, stored);
    QFETCH(QString, shown);

    if (stored.isValid())
        SaveSettingsValue(id, stored);
    SettingsModel model;
    const QModelIndex value = model.index(id, 1);
    QCOMPARE(model.data(value, Qt::DisplayRole), QVariant(shown));
    QCOMPARE(model.data(value, Qt::EditRole), QVariant(shown));
    QVERIFY(!model.data(value, Qt::ToolTipRole).isValid());
    QVERIFY(!model.data(value, Qt::DecorationRole).isValid());
    QVERIFY(!model.data(model.index(id, 0), Qt::ToolTipRole).isValid());
}

void Tst_settingsconfig::setDataStoresTextAndRewritesFile()
{
    SettingsModel model;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    const QModelIndex cell = model.index(UDPRX_MeasurementsIntervalSecs, 1);

    QVERIFY(model.setData(cell, QStringLiteral("30"), Qt::EditRole));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), cell);
    QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), cell);
    QCOMPARE(GetSettingsInt32Value(UDPRX_MeasurementsIntervalSecs), 30);
    QString type;
    QCOMPARE(ValueInFile(settingsFile, QStringLiteral("UDPRX_MeasurementsIntervalSecs"), &type),
             QStringLiteral("30"));
    QCOMPARE(type, QStringLiteral("QString"));

    // The same text again still rewrites the file.
    QVERIFY(WriteWholeFile(settingsFile, "marker"));
    QVERIFY(model.setData(cell, QStringLiteral("30"), Qt::EditRole));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(ValueInFile(settingsFile, QStringLiteral("UDPRX_MeasurementsIntervalSecs"), &type),
             QStringLiteral("30"));
}

void Tst_settingsconfig::setDataRejectsOtherRolesAndIndexes()
{
    SettingsModel model;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    const QModelIndex cell = model.index(TestManager_UserId, 1);

    QVERIFY(!model.setData(cell, QStringLiteral("x"), Qt::DisplayRole));
    QVERIFY(!model.setData(cell, QStringLiteral("x"), Qt::ToolTipRole));
    QVERIFY(!model.setData(QModelIndex(), QStringLiteral("x"), Qt::EditRole));
    QCOMPARE(changed.count(), 0);
    QVERIFY(!QFile::exists(settingsFile));
    QCOMPARE(GetSettingsStringValue(TestManager_UserId), QString());
}

bool Tst_settingsconfig::EditValueCell(QTableView* view, int row, const QString* text,
                                       QString* error)
{
    const QModelIndex cell = view->model()->index(row, 1);
    view->setCurrentIndex(cell);
    view->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (!editor) {
        *error = QStringLiteral("no line editor has the focus");
        return false;
    }
    if (editor->text() != view->model()->data(cell, Qt::EditRole).toString()) {
        *error = QStringLiteral("editor seeded with '%1'").arg(editor->text());
        return false;
    }
    if (text) {
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(editor, Qt::Key_Delete);
        QTest::keyClicks(editor, *text);
    }
    QTest::keyClick(editor, Qt::Key_Enter);
    return true;
}

void Tst_settingsconfig::editingInViewStoresText_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("readAsInt");

    QTest::newRow("interval typed as number") << int(UDPRX_MeasurementsIntervalSecs) << "30" << 30;
    QTest::newRow("integer setting given text") << int(UDPRX_SaveToCsvFiles) << "yes" << 0;
    QTest::newRow("destination host") << int(UDPTX_UI_DestinationHost) << "192.0.2.7" << 0;
    QTest::newRow("password stored as typed") << int(TestManager_Password) << "pa<ss>&w\"rd" << 0;
}

void Tst_settingsconfig::editingInViewStoresText()
{
    QFETCH(int, id);
    QFETCH(QString, typed);
    QFETCH(int, readAsInt);

    SaveSettingsValue(UDPRX_SaveToCsvFiles, 1);
    SaveSettingsValue(UDPTX_UI_DestinationHost, QStringLiteral("10.0.0.2"));

    SettingsConfig widget;
    widget.show();
    QApplication::setActiveWindow(&widget);
    QVERIFY(QTest::qWaitForWindowActive(&widget));
    auto* view = widget.findChild<QTableView*>(QStringLiteral("tableView"));
    QVERIFY(view);

    QString error;
    QVERIFY2(EditValueCell(view, id, &typed, &error), qPrintable(error));

    const QString name = QString::fromLatin1(SettingsNames::namesById.value(id));
    QString type;
    QTRY_COMPARE(ValueInFile(settingsFile, name, &type), typed);
    QCOMPARE(type, QStringLiteral("QString"));
    QCOMPARE(GetSettingsStringValue(id), typed);
    QCOMPARE(GetSettingsInt32Value(id), readAsInt);
    QCOMPARE(view->model()->data(view->model()->index(id, 1)).toString(), typed);
    QVERIFY(!view->findChild<QLineEdit*>() || !view->findChild<QLineEdit*>()->isVisible());
}

void Tst_settingsconfig::committingUnchangedValueRewritesFile()
{
    SaveSettingsValue(UDPTX_UI_DestinationPort, 5004);

    SettingsConfig widget;
    widget.show();
    QApplication::setActiveWindow(&widget);
    QVERIFY(QTest::qWaitForWindowActive(&widget));
    auto* view = widget.findChild<QTableView*>(QStringLiteral("tableView"));
    QVERIFY(view);

    QVERIFY(WriteWholeFile(settingsFile, "marker"));
    QString error;
    QVERIFY2(EditValueCell(view, UDPTX_UI_DestinationPort, nullptr, &error), qPrintable(error));

    // The editor's text replaces the integer: same text, now of type QString.
    QString type;
    QTRY_COMPARE(ValueInFile(settingsFile, QStringLiteral("UDPTX_UI_DestinationPort"), &type),
                 QStringLiteral("5004"));
    QCOMPARE(type, QStringLiteral("QString"));
    QCOMPARE(GetSettingsInt32Value(UDPTX_UI_DestinationPort), 5004);
}

void Tst_settingsconfig::unwritableFileKeepsValue()
{
    // A directory in place of the settings file: the save cannot open it.
    QVERIFY(QDir().mkpath(settingsFile));
    SettingsModel model;
    const QString record = QStringLiteral("Settings] could not open settings file to write @");
    const int before = GetRecentTrace(TraceListingMaxCount, TraceLevelError).count(record);

    QVERIFY(model.setData(model.index(TestManager_UserId, 1), QStringLiteral("someone")));
    QCOMPARE(GetSettingsStringValue(TestManager_UserId), QStringLiteral("someone"));
    QCOMPARE(GetRecentTrace(TraceListingMaxCount, TraceLevelError).count(record), before + 1);
    QVERIFY(QDir().rmdir(settingsFile));
}

QTEST_MAIN(Tst_settingsconfig)
#include "tst_settingsconfig.moc"
