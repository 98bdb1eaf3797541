// The upload settings form against the station's registry: who may store, what is refused, and
// that a change reaches the file, the uploader and the trail, a password's text never.
#include "app/appcontext.h"
#include "app/dialoghj212.h"
#include "hj212/hj212uploader.h"
#include "hj212platform.h"
#include "panels/hj212statuslabel.h"
#include "storage/accounts.h"
#include "testsupport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

namespace {

struct Form
{
    Form() { dialog.show(); }
    void set(const char *field, const QString &text)
    {
        dialog.findChild<QLineEdit *>(field)->setText(text);
    }
    void press(const char *button) { dialog.findChild<QPushButton *>(button)->click(); }
    void cell(const char *table, int row, int column, const QString &text)
    {
        auto *widget = dialog.findChild<QTableWidget *>(table);
        while (widget->rowCount() <= row)
            widget->insertRow(widget->rowCount());
        widget->setItem(row, column, new QTableWidgetItem(text));
    }
    // A platform on this port with one point reporting the station's monitor "曝气池".
    void platform(int port, const QString &pw = "123456")
    {
        press("pushButtonAddPlatform");
        set("lineEditName", "市平台");
        set("lineEditHost", "127.0.0.1");
        dialog.findChild<QSpinBox *>("spinBoxPort")->setValue(port);
        set("lineEditPw", pw);
        cell("tableWidgetPoints", 0, 0, "HV0001");
        cell("tableWidgetPoints", 0, 1, "曝气池");
    }
    bool ok()
    {
        dialog.accept();
        return dialog.result() == QDialog::Accepted;
    }

    DialogHj212 dialog;
};

Hj212Uploader *uploader()
{
    return static_cast<Hj212Uploader *>(AppContext::instance().object(Hj212Outbox));
}

} // namespace

class TestDialogHj212 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void onlyAnAdministratorStoresAChange();
    void unusableSettingsAreRefusedWithTheirReason();
    void aChangeIsStoredAppliedAndAuditedWithoutThePassword();

private:
    std::unique_ptr<TempStation> station;
    std::unique_ptr<MessageBoxRecorder> boxes;
};

void TestDialogHj212::init()
{
    station = std::make_unique<TempStation>();
    boxes = std::make_unique<MessageBoxRecorder>();
    QVERIFY(station->writeFile("config/Monitor.json",
                               monitorJson(30, {{"DI590", "曝气池", 1}, {"DO580", "pH池", 2}})));
    AppContext::instance().init();
}

void TestDialogHj212::cleanup()
{
    Accounts::instance().signOut();
    Accounts::instance().waitForJobs();
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    boxes.reset();
    station.reset();
}

void TestDialogHj212::onlyAnAdministratorStoresAChange()
{
    {
        Form form;
        form.platform(8000);
        QVERIFY(!form.ok());
        QCOMPARE(boxes->boxes.last().text, MessageBoxes::administratorRequired());
    }
    QVERIFY(!QFile::exists(station->filePath("config/Hj212.json")));
    QCOMPARE(auditRows().filter("数据上传").size(), 0);
}

void TestDialogHj212::unusableSettingsAreRefusedWithTheirReason()
{
    QVERIFY(signInAs());
    Form form;
    const auto refused = [&](const QString &reason) {
        const int before = boxes->boxes.size();
        if (form.ok() || boxes->boxes.size() != before + 1 ||
            !boxes->boxes.last().text.contains(reason)) {
            qWarning() << "expected a refusal naming" << reason << "got"
                       << (boxes->boxes.size() > before ? boxes->boxes.last().text : QString());
            return false;
        }
        return true;
    };
    form.platform(8000, "12345");
    QVERIFY(refused("访问密码"));
    form.set("lineEditPw", "123456");
    form.cell("tableWidgetPoints", 0, 0, "HV 0001");
    QVERIFY(refused("MN"));
    form.cell("tableWidgetPoints", 0, 0, "HV0001");
    form.cell("tableWidgetPoints", 0, 1, "曝气池、三号池");
    QVERIFY(refused("\"三号池\" 不存在"));
    // Both monitors measure temperature: one of them has to give the code up.
    form.cell("tableWidgetPoints", 0, 1, "曝气池,pH池");
    QVERIFY(refused("编码同为 w01010"));
    form.cell("tableWidgetCodes", 0, 0, "pH池/Temper");
    form.cell("tableWidgetCodes", 0, 1, "");
    form.cell("tableWidgetCodes", 1, 0, "ORP");
    form.cell("tableWidgetCodes", 1, 1, "w01=x");
    QVERIFY(refused("w01=x"));
    // A fifth platform cannot be added.
    for (int i = 0; i < 4; ++i)
        form.press("pushButtonAddPlatform");
    QCOMPARE(form.dialog.findChild<QListWidget *>()->count(), 4);
    QVERIFY(!QFile::exists(station->filePath("config/Hj212.json")));
}

void TestDialogHj212::aChangeIsStoredAppliedAndAuditedWithoutThePassword()
{
    QVERIFY(signInAs());
    Hj212Platform platform;
    QVERIFY(platform.start());
    {
        Form form;
        form.platform(platform.port(), "s3cr3t");
        QVERIFY(form.dialog.findChild<QLineEdit *>("lineEditPw")->echoMode() ==
                QLineEdit::Password);
        QVERIFY(form.ok());
    }
    QTRY_VERIFY_WITH_TIMEOUT(platform.isConnected(), 10000);
    QCOMPARE(uploader()->status().size(), size_t(1));
    QTRY_COMPARE_WITH_TIMEOUT(uploader()->status()[0].status.state, Hj212Link::Connected, 10000);
    QCOMPARE(Hj212StatusLabel::describe(uploader()->status()[0].status), QString("已连接"));
    const QByteArray file = station->readFile("config/Hj212.json");
    QVERIFY(file.contains("\"pw\": \"s3cr3t\""));
    QVERIFY(file.contains("\"monitors\": [\n                        \"曝气池\""));
    const QStringList rows = auditRows().filter("修改数据上传设置");
    QCOMPARE(rows.size(), 1);
    QVERIFY(rows[0].contains("添加平台 市平台"));
    QVERIFY(!rows[0].contains("s3cr3t"));

    // The password alone changes: the trail says so, without either text.
    {
        Form form;
        QCOMPARE(form.dialog.findChild<QLineEdit *>("lineEditPw")->text(), QString("s3cr3t"));
        form.set("lineEditPw", "n3wpw1");
        QVERIFY(form.ok());
    }
    const QStringList again = auditRows().filter("修改数据上传设置");
    QCOMPARE(again.size(), 2);
    QCOMPARE(again[1], QString("admin|修改数据上传设置|市平台 访问密码已修改"));
    QCOMPARE(uploader()->settings().platforms[0].pw, std::string("n3wpw1"));
}

QTEST_MAIN(TestDialogHj212)
#include "tst_dialoghj212.moc"
