#include "testsupport.h"

#include "acquisition/comportctrl.h"
#include "app/appcontext.h"
#include "storage/passphrase.h"
#include "storage/zircon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLCDNumber>
#include <QProcess>

TempStation::TempStation()
{
    AppContext::instance().reset();
    AppContext::instance().setApplicationDir(dir.path());
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
        if (!answers.isEmpty())
            return answers.takeFirst();
        return box.defaultButton != QMessageBox::NoButton ? box.defaultButton : QMessageBox::Ok;
    });
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    MessageBoxes::setResponder(MessageBoxes::Responder());
}

SimulatorProcess::SimulatorProcess(const QStringList &instruments, const QStringList &options)
{
    arguments << "--link" << linkPath() << options << instruments;
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
    ctrl.setPort(linkPath().toUtf8().constData());
    return ctrl.open();
}

modbus_t *SimulatorProcess::context()
{
    if (!line) {
        line = std::make_unique<ComPortCtrl>();
        open(*line);
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

QByteArray monitorJson(int interval, const QList<MonitorEntry> &entries)
{
    QJsonArray monitors;
    for (const MonitorEntry &entry : entries)
        monitors.append(QJsonObject{{"model", entry.model},
                                    {"username", entry.name},
                                    {"id", entry.id},
                                    {"channel", -1},
                                    {"running", entry.running},
                                    {"record", entry.record}});
    return QJsonDocument(QJsonObject{{"interval", interval}, {"monitor", monitors}}).toJson();
}

QByteArray comPortJson(const QString &port)
{
    return QJsonDocument(QJsonObject{{"comport", port},
                                     {"baudrate", 9600},
                                     {"databit", 8},
                                     {"stopbit", 2},
                                     {"parity", "N"}})
        .toJson();
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
