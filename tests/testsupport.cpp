#include "testsupport.h"

#include "acquisition/comportctrl.h"
#include "app/appcontext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
