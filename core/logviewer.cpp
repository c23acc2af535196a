#include "core/logviewer.h"

#include "core/delaymonitor.h"
#include "core/logging.h"
#include "ui_logviewer.h"

LogViewer::LogViewer(QWidget* parent) : QWidget(parent), ui(new Ui::LogViewer)
{
    ui->setupUi(this);
}

LogViewer::~LogViewer()
{
    delete ui;
}

void LogViewer::on_refreshButton_clicked()
{
    const int count = ui->maxRecordsCount->text().toInt(nullptr, 10);
    const QString listing = GetRecentTrace(count, TraceLevelNotable);
    const QString separator = QStringLiteral("\r\n") + QString(82, QLatin1Char('=')) + QStringLiteral("\r\n");
    // Records may hold XML (signals from the test manager): show the whole text as plain text.
    ui->logTextDisplay->setPlainText(QStringLiteral("delays: ") +
                                DelayMonitor::getReportForAllInstancesHtmlXmlEscaped() + separator +
                                listing);
}
