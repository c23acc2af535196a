#include "core/logviewer.h"

#include "core/delaymonitor.h"
#include "core/exception.h"
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
    try {
        refresh();
    } catch (std::exception& e) {
        HandleException(e);
    }
}

void LogViewer::refresh()
{
    // A negative count lists nothing here (the listing itself would read it as "as many as
    // possible", which is not what a user typing -5 asks for).
    const int count = qMax(0, ui->maxRecordsCount->text().toInt(nullptr, 10));
    const QString listing = GetRecentTrace(count, TraceLevelNotable);
    const QString separator = QStringLiteral("\r\n") + QString(82, QLatin1Char('=')) + QStringLiteral("\r\n");
    // Records may hold XML (signals from the test manager): show the whole text as plain text.
    ui->logTextDisplay->setPlainText(QStringLiteral("delays: ") +
                                DelayMonitor::getReportForAllInstancesHtmlXmlEscaped() + separator +
                                listing);
}
