#include "testsupport.h"

#include "app/appcontext.h"
#include "history/recordworkbook.h"
#include "line/comportctrl.h"
#include "panels/desktopopener.h"
#include "storage/accounts.h"
#include "storage/passphrase.h"
#include "storage/recordrow.h"
#include "storage/zircon.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLCDNumber>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

TempStation::TempStation()
{
    AppContext::instance().reset();
    AppContext::instance().setApplicationDir(dir.path());
}

SmallFileSystem::SmallFileSystem(qint64 bytes, const QByteArray &options)
{
    if (!dir.isValid() || ::geteuid() != 0)
        return;
    QByteArray data = "size=" + QByteArray::number(bytes) + ",mode=0700";
    if (!options.isEmpty())
        data += ',' + options;
    const unsigned long flags = options.split(',').contains("ro") ? MS_RDONLY : 0;
    mounted = ::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", flags,
                      data.constData()) == 0;
}

SmallFileSystem::~SmallFileSystem()
{
    if (mounted)
        ::umount2(QFile::encodeName(dir.path()).constData(), MNT_DETACH);
}

TempStation::~TempStation()
{
    AppContext::instance().shutdown();
    AppContext::instance().reset();
    AppContext::instance().setApplicationDir(QString());
}

bool TempStation::writeFile(const QString &relative, const QByteArray &content) const
{
    const QString target = dir.filePath(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

QByteArray TempStation::readFile(const QString &relative) const
{
    QFile file(dir.filePath(relative));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Signal spies on the panels' monitor signals.
static void registerTypes()
{
    qRegisterMetaType<MonitorBase *>();
}
Q_CONSTRUCTOR_FUNCTION(registerTypes)

MessageBoxRecorder::MessageBoxRecorder()
{
    MessageBoxes::setResponder([this](const MessageBoxes::Box &box) {
        boxes.append(box);
        if (whenAsked)
            whenAsked(box);
        if (!answers.isEmpty())
            return answers.takeFirst();
        return box.defaultButton != QMessageBox::NoButton ? box.defaultButton : QMessageBox::Ok;
    });
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    MessageBoxes::setResponder(MessageBoxes::Responder());
}

DesktopRecorder::DesktopRecorder()
{
    DesktopOpener::setHandler([this](const QString &path) {
        opened << path;
        return true;
    });
}

DesktopRecorder::~DesktopRecorder()
{
    DesktopOpener::setHandler(DesktopOpener::Handler());
}

namespace {

const char *const workbookReader = R"(
import json, re, sys, openpyxl
def shown(cell):
    if cell.value is None:
        return ""
    # A number with a fixed count of decimals, as a spreadsheet shows it.
    fixed = re.fullmatch(r"0(\.(0+))?", cell.number_format)
    if cell.data_type == "n" and fixed:
        return "%.*f" % (len(fixed.group(2) or ""), cell.value)
    return cell.value
book = openpyxl.load_workbook(sys.argv[1])
sheets = []
for sheet in book.worksheets:
    rows, centred = [], True
    for row in sheet.iter_rows():
        rows.append(["%s:%s" % (cell.data_type, shown(cell)) for cell in row])
        centred = centred and all(cell.alignment.horizontal == "center" and
                                  cell.alignment.vertical == "center" for cell in row)
    sheets.append({"title": sheet.title, "rows": rows, "centred": centred})
json.dump(sheets, sys.stdout)
)";

} // namespace

QList<WorkbookSheet> readWorkbook(const QString &path)
{
    // Debian's interpreter, where python3-openpyxl lives, whatever python3 is first on the path.
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"), QString::fromUtf8(workbookReader), path});
    QList<WorkbookSheet> sheets;
    if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0) {
        qWarning("readWorkbook %s: %s", qPrintable(path), python.readAllStandardError().data());
        return sheets;
    }
    for (const QJsonValue &sheetValue : QJsonDocument::fromJson(python.readAll()).array()) {
        const QJsonObject object = sheetValue.toObject();
        WorkbookSheet sheet;
        sheet.title = object.value(QStringLiteral("title")).toString();
        sheet.centred = object.value(QStringLiteral("centred")).toBool();
        for (const QJsonValue &row : object.value(QStringLiteral("rows")).toArray()) {
            QStringList cells;
            for (const QJsonValue &cell : row.toArray())
                cells << cell.toString();
            sheet.rows << cells;
        }
        sheets << sheet;
    }
    return sheets;
}

QStringList recordHeaderCells()
{
    QStringList cells;
    for (const QString &header : RecordWorkbook::headers())
        cells << QStringLiteral("s:") + header;
    return cells;
}

QStringList recordCells(const QStringList &texts)
{
    // Plain decimal numbers, not a negative zero.
    static const QRegularExpression number(QStringLiteral("^(-?[1-9]\\d*|-?0(?=\\.\\d*[1-9])|0)"
                                                          "(\\.\\d+)?$"));
    QStringList cells;
    for (int c = 0; c < texts.size(); ++c) {
        const bool numeric = c == 3 || c == 4 || (c == 6 && number.match(texts.at(c)).hasMatch());
        cells << (numeric ? QStringLiteral("n:") : QStringLiteral("s:")) + texts.at(c);
    }
    return cells;
}

QStringList openFiles()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    QStringList files;
    const QDir::Filters all = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
    for (const QFileInfo &fd : fds.entryInfoList(all))
        files << fd.symLinkTarget();
    files.sort();
    return files;
}

RecordRow makeRecord(const std::string &name, int channel, const std::string &time)
{
    RecordRow row;
    row.time = time;
    row.model = "DI590";
    row.name = name;
    row.slave = 3;
    row.channel = channel;
    row.factor = channel == 0 ? "DO" : "Temper";
    row.unit = channel == 0 ? "mg/L" : "℃";
    row.value = channel == 0 ? "8.25" : "21.4";
    row.status = "N";
    return row;
}

SimulatorProcess::SimulatorProcess(const QStringList &instruments, const QStringList &options,
                                   Kind kind)
    : kind(kind)
{
    if (kind == Gateway)
        arguments << "--tcp"
                  << "127.0.0.1:0";
    else
        arguments << "--link" << linkPath();
    arguments << options << instruments;
    start();
}

SimulatorProcess::~SimulatorProcess()
{
    line.reset();
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000))
            kill();
    }
}

int SimulatorProcess::open(ComPortCtrl &ctrl) const
{
    if (kind == Gateway) {
        ctrl.setType(ComPortCtrl::Tcp);
        ctrl.setHost("127.0.0.1");
        ctrl.setTcpPort(port);
    } else {
        ctrl.setPort(linkPath().toUtf8().constData());
    }
    return ctrl.open();
}

modbus_t *SimulatorProcess::context()
{
    if (!line) {
        line = std::make_unique<ComPortCtrl>();
        if (open(*line) == 0)
            line->connectGateway();
    }
    return line->getContext();
}

void SimulatorProcess::kill()
{
    line.reset();
    ready = false;
    process.kill();
    process.waitForFinished(5000);
}

bool SimulatorProcess::start()
{
    if (process.state() != QProcess::NotRunning)
        kill();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(HYDROVANE_SIM_PATH, arguments);
    QByteArray output;
    while (!output.contains('\n') && process.waitForReadyRead(10000))
        output += process.readAllStandardOutput();
    ready = output.startsWith("ready ");
    // "ready tcp:PORT": a restart listens on the same port.
    const int at = output.indexOf(" tcp:");
    if (ready && kind == Gateway && at >= 0) {
        port = output.mid(at + 5).trimmed().split(' ').first().toInt();
        arguments[1] = QStringLiteral("127.0.0.1:%1").arg(port);
    }
    return ready;
}

int runPlainSqlite(const QString &file, const QString &sql, QString *output)
{
    QProcess sqlite;
    sqlite.setProcessChannelMode(QProcess::MergedChannels);
    sqlite.start(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), file, sql});
    if (!sqlite.waitForFinished(60000))
        return -1;
    if (output)
        *output = QString::fromUtf8(sqlite.readAll());
    return sqlite.exitStatus() == QProcess::NormalExit ? sqlite.exitCode() : -1;
}

namespace {

int collectRow(void *user, int columns, char **texts)
{
    QStringList cells;
    for (int i = 0; i < columns; ++i)
        cells << (texts[i] ? QString::fromUtf8(texts[i]) : QStringLiteral("<null>"));
    static_cast<QStringList *>(user)->append(cells.join(QLatin1Char('|')));
    return 0;
}

} // namespace

QStringList selectWithKey(const QString &file, const char *sql, int *result)
{
    QStringList rows;
    zircon_db *handle = nullptr;
    int rc = zircon_open(&handle, file.toUtf8().constData());
    if (rc == 0) {
        zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
        rc = zircon_run_sql(handle, sql, &rows, collectRow);
    }
    zircon_close(handle);
    if (result)
        *result = rc;
    return rows;
}

int insertRecords(const QString &file, const std::vector<RecordRow> &rows)
{
    zircon_db *handle = nullptr;
    int rc = zircon_open(&handle, file.toUtf8().constData());
    if (rc == 0)
        rc = zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
    if (rc == 0)
        rc = zircon_run_sql(handle, "BEGIN", nullptr, nullptr);
    for (size_t i = 0; rc == 0 && i < rows.size(); ++i) {
        const RecordRow &row = rows[i];
        char *sql = zircon_create_sql(
            "INSERT INTO Record(time,model,name,slave,channel,factor,unit,value,status) "
            "VALUES(%Q,%Q,%Q,%d,%d,%Q,%Q,%Q,%Q)",
            row.time.c_str(), row.model.c_str(), row.name.c_str(), int(row.slave), int(row.channel),
            row.factor.c_str(), row.unit.c_str(), row.value.c_str(), row.status.c_str());
        rc = zircon_run_sql(handle, sql, nullptr, nullptr);
        zircon_destroy_sql(sql);
    }
    if (rc == 0)
        rc = zircon_run_sql(handle, "COMMIT", nullptr, nullptr);
    zircon_close(handle);
    return rc;
}

int insertAlarms(const QString &file, const std::vector<AlarmReader::Entry> &alarms)
{
    zircon_db *handle = nullptr;
    int rc = zircon_open(&handle, file.toUtf8().constData());
    if (rc == 0)
        rc = zircon_set_password(handle, kPassPhrase, kPassPhraseLength);
    if (rc == 0)
        rc = zircon_run_sql(
            handle,
            "CREATE TABLE IF NOT EXISTS Alarm(id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR, "
            "slave INTEGER, channel INTEGER, factor VARCHAR, kind VARCHAR, value VARCHAR, "
            "alarmpoint VARCHAR, raised VARCHAR, cleared VARCHAR, acked VARCHAR)",
            nullptr, nullptr);
    if (rc == 0)
        rc = zircon_run_sql(handle, "BEGIN", nullptr, nullptr);
    for (size_t i = 0; rc == 0 && i < alarms.size(); ++i) {
        const AlarmReader::Entry &alarm = alarms[i];
        // %Q writes NULL for a null pointer.
        char *sql = zircon_create_sql(
            "INSERT INTO Alarm(name,slave,channel,factor,kind,value,alarmpoint,raised,cleared,"
            "acked) VALUES(%Q,%d,%d,%Q,%Q,%Q,%Q,%Q,%Q,%Q)",
            alarm.name.c_str(), alarm.slave, alarm.channel, alarm.factor.c_str(),
            alarm.kind.c_str(), alarm.value.c_str(), alarm.alarmPoint.c_str(),
            alarm.raised.c_str(), alarm.isActive() ? nullptr : alarm.cleared.c_str(),
            alarm.acked.empty() ? nullptr : alarm.acked.c_str());
        rc = zircon_run_sql(handle, sql, nullptr, nullptr);
        zircon_destroy_sql(sql);
    }
    if (rc == 0)
        rc = zircon_run_sql(handle, "COMMIT", nullptr, nullptr);
    zircon_close(handle);
    return rc;
}

AlarmReader::Entry makeAlarm(const std::string &name, const std::string &raised, bool active,
                             bool acked)
{
    AlarmReader::Entry alarm;
    alarm.name = name;
    alarm.slave = 3;
    alarm.factor = "DO";
    alarm.kind = "高报";
    alarm.value = "8.25";
    alarm.alarmPoint = "8.0";
    alarm.raised = raised;
    const std::string day = raised.substr(0, 10);
    if (!active)
        alarm.cleared = day + " 23:50:00";
    if (acked)
        alarm.acked = day + " 23:40:00";
    return alarm;
}

QByteArray monitorJson(int interval, const QList<MonitorEntry> &entries)
{
    QJsonArray monitors;
    for (const MonitorEntry &entry : entries) {
        QJsonObject monitor{{"model", entry.model},     {"username", entry.name},
                            {"id", entry.id},           {"channel", -1},
                            {"running", entry.running}, {"record", entry.record}};
        if (!entry.line.isEmpty())
            monitor["line"] = entry.line;
        monitors.append(monitor);
    }
    return QJsonDocument(QJsonObject{{"interval", interval}, {"monitor", monitors}}).toJson();
}

QByteArray comPortJson(const QString &port, int baudrate, double timeout)
{
    QJsonObject document{
        {"comport", port}, {"baudrate", baudrate}, {"databit", 8}, {"stopbit", 2}, {"parity", "N"}};
    if (timeout > 0)
        document["timeout"] = timeout;
    return QJsonDocument(document).toJson();
}

bool lcdShows(QLCDNumber *lcd, const QString &text)
{
    QLCDNumber reference;
    reference.setDigitCount(lcd->digitCount());
    reference.setSegmentStyle(lcd->segmentStyle());
    reference.setFrameShape(lcd->frameShape());
    reference.setFrameShadow(lcd->frameShadow());
    reference.setPalette(lcd->palette());
    reference.setFixedSize(lcd->size());
    reference.display(text);
    // The segments alone, on the same ground.
    const auto picture = [](QWidget *widget) {
        QImage image(widget->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    };
    return picture(&reference) == picture(lcd);
}

void onOneDay(const std::function<void(const QString &date)> &steps)
{
    const auto today = [] { return QDate::currentDate().toString("yyyyMMdd"); };
    for (;;) {
        const QString date = today();
        steps(date);
        if (QTest::currentTestFailed() || today() == date)
            return;
    }
}

QString onlyBackup(const QString &folder)
{
    const QStringList found =
        QDir(folder).entryList({"record*.zdb"}, QDir::Files, QDir::Name);
    return found.size() == 1 ? QDir(folder).filePath(found[0]) : QString();
}

bool signInAs(const QString &name, const QString &password)
{
    Accounts &accounts = Accounts::instance();
    int answer = -1;
    const auto done = [&answer](const Accounts::Reply &reply) { answer = reply.result; };
    // The default admin has no password until its first sign-in sets one; a failure is
    // forgotten at the next success.
    accounts.signInSettingPassword(name, QString(), password, nullptr, done);
    if (!QTest::qWaitFor([&answer] { return answer >= 0; }, 10000))
        return false;
    if (answer == Accounts::WrongPassword) {
        answer = -1;
        accounts.signIn(name, password, nullptr, done);
        if (!QTest::qWaitFor([&answer] { return answer >= 0; }, 10000))
            return false;
    }
    return answer == Accounts::Ok && accounts.userName() == name;
}

int addAccount(const QString &name, const QString &password, int role)
{
    int answer = -1;
    const auto done = [&answer](const Accounts::Reply &reply) { answer = reply.result; };
    Accounts::instance().addUser(name, password, role, nullptr, done);
    return QTest::qWaitFor([&answer] { return answer >= 0; }, 10000) ? answer : -1;
}

QStringList auditRows()
{
    QStringList rows;
    bool done = false;
    Accounts::instance().listAudit(
        QDateTime(), QDateTime(), 0, nullptr,
        [&](int, const QVector<Accounts::AuditEntry> &entries) {
            for (const Accounts::AuditEntry &entry : entries)
                rows.prepend(entry.user + QLatin1Char('|') + entry.action + QLatin1Char('|') +
                             entry.detail);
            done = true;
        });
    if (!QTest::qWaitFor([&done] { return done; }, 10000))
        rows << QStringLiteral("(the trail was not read in time)");
    return rows;
}

std::vector<int> range(int from, int to)
{
    std::vector<int> numbers;
    for (int i = from; i < to; ++i)
        numbers.push_back(i);
    return numbers;
}
