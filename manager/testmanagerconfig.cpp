#include "manager/testmanagerconfig.h"

#include "core/exception.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"
#include "manager/managerconnection.h"
#include "settings/settings.h"
#include "ui_testmanagerconfig.h"

#include <QLabel>

TestManagerConfig::TestManagerConfig(QWidget* parent)
    : QWidget(parent), ui(new Ui::TestManagerConfig), statusTimer(new QTimer(this))
{
    ui->setupUi(this);
    const QString site = QStringLiteral("http://") + DefaultManagerHost();
    SetLink("label", QStringLiteral("register new user"), site + QStringLiteral("/SignUp234.aspx"));
    SetLink("label_7", QStringLiteral("view/configure tests"), site);
    SetLink("label_8", QStringLiteral("forgot password"), site + QStringLiteral("/ForgotPassword.aspx"));
    FillForm();
    connect(statusTimer, &QTimer::timeout, this, &TestManagerConfig::DisplayStatus);
    statusTimer->start(1000);
}

TestManagerConfig::~TestManagerConfig()
{
    delete ui;
}

void TestManagerConfig::SetLink(const char* labelName, const QString& text, const QString& url)
{
    auto* label = findChild<QLabel*>(QLatin1String(labelName));
    label->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(url.toHtmlEscaped(), text));
}

void TestManagerConfig::FillForm()
{
    const QString token = managerConnection ? managerConnection->authTokenForFileName : QString();
    if (!token.isEmpty()) {
        ui->enableConnection->setChecked(true);
        ui->enableConnection->setEnabled(false);
        ui->userId->setEnabled(false);
        ui->password->setEnabled(false);
        ui->userDefinedAgentId->setEnabled(false);
        ui->apply->setEnabled(false);
        ui->fileNameAuthToken->setText(token);
        return;
    }
    ui->enableConnection->setChecked(managerConnection && managerConnection->isEnabled());
    ui->userId->setText(GetSettingsStringValue(TestManager_UserId));
    // A stored password that cannot be opened (a damaged or hand-edited settings file) leaves
    // the field empty; Apply stores a new one.
    try {
        const std::string opened =
            D3_base64(GetSettingsStringValue(TestManager_Password).toLocal8Bit().toStdString());
        ui->password->setText(QString::fromLocal8Bit(opened.substr(0, opened.find('\0')).c_str()));
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleManagerC, TraceLevelError,
                      QStringLiteral("stored test manager password cannot be read: ") +
                          QString::fromLatin1(e.what()));
    }
    ui->fileNameAuthToken->setText(token);
    ui->userDefinedAgentId->setText(GetSettingsStringValue(TestManager_UserDefinedAgentId));
}

void TestManagerConfig::DisplayStatus()
{
    if (managerConnection)
        ui->status->setText(managerConnection->getStatus());
}

void TestManagerConfig::on_apply_clicked()
{
    try {
        if (managerConnection)
            managerConnection->setEnabled(ui->enableConnection->isChecked());
        SaveSettingsValue(TestManager_UserId, ui->userId->text());
        const std::string sealed = E3_base64(ui->password->text().toLocal8Bit().toStdString());
        SaveSettingsValue(TestManager_Password, QString::fromLatin1(sealed.c_str()));
        SaveSettingsValue(TestManager_UserDefinedAgentId, ui->userDefinedAgentId->text());
    } catch (std::exception& e) {
        HandleException(e);
    }
}
