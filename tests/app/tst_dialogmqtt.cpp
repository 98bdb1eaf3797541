// The MQTT settings form against the station's registry: who may store, what is refused, and
// that a change reaches the file, the publisher and the trail, the password's text never.
#include "app/appcontext.h"
#include "app/dialogmqtt.h"
#include "brokerprocess.h"
#include "mqtt/mqttpublisher.h"
#include "panels/filedialogs.h"
#include "storage/accounts.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

namespace {

struct Form
{
    Form() { dialog.show(); }
    void set(const char *field, const QString &text)
    {
        dialog.findChild<QLineEdit *>(field)->setText(text);
    }
    void check(const char *box, bool on) { dialog.findChild<QCheckBox *>(box)->setChecked(on); }
    void port(int value) { dialog.findChild<QSpinBox *>("spinBoxPort")->setValue(value); }
    // Presses OK; true when the form closed.
    bool ok()
    {
        dialog.accept();
        return dialog.result() == QDialog::Accepted;
    }

    DialogMqtt dialog;
};

MqttPublisher *publisher()
{
    return static_cast<MqttPublisher *>(AppContext::instance().object(MqttOutbox));
}

} // namespace

class TestDialogMqtt : public QObject
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

void TestDialogMqtt::init()
{
    station = std::make_unique<TempStation>();
    boxes = std::make_unique<MessageBoxRecorder>();
    AppContext::instance().init();
}

void TestDialogMqtt::cleanup()
{
    FileDialogs::setChooser(nullptr);
    Accounts::instance().signOut();
    Accounts::instance().waitForJobs();
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    boxes.reset();
    station.reset();
}

void TestDialogMqtt::onlyAnAdministratorStoresAChange()
{
    {
        Form form;
        form.set("lineEditStation", "泵站");
        QVERIFY(!form.ok());
        QCOMPARE(boxes->boxes.last().text, MessageBoxes::administratorRequired());
    }
    QVERIFY(signInAs());
    QCOMPARE(addAccount("op", "op-pw", Accounts::Operator), int(Accounts::Ok));
    Accounts::instance().signOut();
    QVERIFY(signInAs("op", "op-pw"));
    {
        Form form;
        form.set("lineEditStation", "泵站");
        QVERIFY(!form.ok());
        QCOMPARE(boxes->boxes.last().text, MessageBoxes::administratorRequired());
    }
    QVERIFY(!QFile::exists(station->filePath("config/Mqtt.json")));
    QCOMPARE(auditRows().filter("MQTT").size(), 0);
}

void TestDialogMqtt::unusableSettingsAreRefusedWithTheirReason()
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
    form.check("checkBoxEnabled", true);
    form.set("lineEditHost", "  ");
    QVERIFY(refused("服务器不能为空"));
    form.set("lineEditHost", "127.0.0.1");
    for (const int port : {0, 65536}) {
        form.port(port);
        QVERIFY(refused("1 到 65535"));
    }
    form.port(1883);
    for (const QString prefix : {"plant/+/x", "plant/#", ""}) {
        form.set("lineEditTopic", prefix);
        QVERIFY(refused("主题前缀"));
    }
    form.set("lineEditTopic", "水厂/一期");
    // TLS without a CA file uses the system's; a named one must exist.
    form.check("checkBoxTls", true);
    form.set("lineEditCaFile", station->filePath("missing.pem"));
    QVERIFY(refused("CA文件不存在"));
    QVERIFY(!QFile::exists(station->filePath("config/Mqtt.json")));

    QVERIFY(station->writeFile("certs/ca.pem", "-----BEGIN CERTIFICATE-----\n"));
    QString asked;
    FileDialogs::setChooser([&](const FileDialogs::Request &request) {
        asked = request.folder;
        return station->filePath("certs/ca.pem");
    });
    QTest::mouseClick(form.dialog.findChild<QPushButton *>("pushButtonCaFile"), Qt::LeftButton);
    QCOMPARE(asked, station->path());
    QCOMPARE(form.dialog.formSettings().caFile, station->filePath("certs/ca.pem").toStdString());
    // Nobody listens there: stored and applied all the same.
    form.port(BrokerProcess::freePort());
    QVERIFY(form.ok());
    QCOMPARE(publisher()->settings().caFile, form.dialog.formSettings().caFile);
}

void TestDialogMqtt::aChangeIsStoredAppliedAndAuditedWithoutThePassword()
{
    QVERIFY(signInAs());
    BrokerProcess broker(station->filePath("broker").toStdString());
    QVERIFY(broker.start());
    const MqttSettings defaults;
    {
        Form form;
        QVERIFY(form.dialog.findChild<QLabel *>("labelState")->text().contains("未启用"));
        form.check("checkBoxEnabled", true);
        form.set("lineEditHost", "127.0.0.1");
        form.port(broker.port());
        form.set("lineEditStation", "");
        form.set("lineEditClientId", "");
        form.set("lineEditTopic", "水厂/一期");
        form.set("lineEditPassword", "s3cret pw");
        QVERIFY(!form.ok());
        QVERIFY(boxes->boxes.last().text.contains("没有用户名"));
        form.set("lineEditUsername", "水厂");
        form.dialog.findChild<QComboBox *>("comboBoxQos")->setCurrentIndex(2);
        QVERIFY(form.ok());
    }
    const QJsonObject file =
        QJsonDocument::fromJson(station->readFile("config/Mqtt.json")).object();
    QCOMPARE(file.value("enabled").toBool(), true);
    QCOMPARE(file.value("port").toInt(), broker.port());
    QCOMPARE(file.value("topic").toString(), QString("水厂/一期"));
    QCOMPARE(file.value("password").toString(), QString("s3cret pw"));
    QCOMPARE(file.value("qos").toInt(), 2);
    // Cleared fields mean the defaults, written out.
    QCOMPARE(file.value("station").toString(), QString::fromStdString(defaults.station));
    QCOMPARE(file.value("clientId").toString(), QString::fromStdString(defaults.clientId));
    QCOMPARE(publisher()->settings().port, broker.port());

    QStringList rows = auditRows().filter("修改MQTT设置");
    QCOMPARE(rows.size(), 1);
    QVERIFY(rows.first().contains("启用: 否 → 是"));
    QVERIFY(rows.first().contains("主题前缀: hydrovane → 水厂/一期"));
    QVERIFY(rows.first().contains("密码已修改"));
    QVERIFY(!rows.first().contains("s3cret"));

    // The form opened again shows what runs, and the connection it made.
    Form again;
    QCOMPARE(again.dialog.formSettings(), publisher()->settings());
    QTRY_VERIFY_WITH_TIMEOUT(
        again.dialog.findChild<QLabel *>("labelState")->text().contains("已连接"), 10000);
    // Nothing changed: nothing stored, no row.
    QVERIFY(again.ok());
    QCOMPARE(auditRows().filter("修改MQTT设置").size(), 1);
}

QTEST_MAIN(TestDialogMqtt)
#include "tst_dialogmqtt.moc"
