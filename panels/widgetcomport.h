#ifndef WIDGETCOMPORT_H
#define WIDGETCOMPORT_H

#include <QStringList>
#include <QWidget>

class ComPortCtrl;
class ComPortReader;
class ConfigFile;
class QMutex;
class QThread;

namespace Ui {
class WidgetComPort;
}

// The serial settings of the instrument line and its on/off switch. Owns the line, the
// reader thread that performs every exchange on it, and the mutex that keeps opening and
// closing apart from the reader's passes; relays read and sync requests to the reader.
class WidgetComPort : public QWidget
{
    Q_OBJECT

public:
    explicit WidgetComPort(QWidget *parent = nullptr);
    ~WidgetComPort() override;

    // Stores the settings in ComPort.json if a combo box was changed since loading or since
    // the last store. A failed store is shown, and the settings stay marked changed.
    void saveConfig();
    // Returns once the reader has finished every request queued before the call. Call it
    // before deleting a monitor or its panel, so that no queued pass or sync touches them
    // afterwards; their done signals may still be on their way to the interface thread.
    void waitForReader();

    ComPortCtrl *getComPortCtrl() const { return comPortCtrl; }
    ComPortReader *getReader() const { return reader; }

    // The port list: COM1 ... COM100, the USB and ACM serial devices in `devDir` in
    // numeric order, then `stored` when it is a device path not listed yet.
    static QStringList portNames(const QString &stored,
                                 const QString &devDir = QStringLiteral("/dev"));
    // The message of a failed open: the fixed text, and the system's reason for `error`
    // (an errno value, 0 for none) on a second line.
    static QString openFailureText(int error);

signals:
    void signal_comPort(bool status);
    void signal_read(void *reader, ComPortCtrl *ctrl);
    void signal_sync(void *reader, ComPortCtrl *ctrl);

public slots:
    void on_checkBoxConnect_stateChanged(int arg1);
    void slot_comboBoxPort_currentIndexChanged(const QString &arg1);
    void slot_comboBoxBaudrate_currentIndexChanged(const QString &arg1);
    void slot_comboBoxDatabit_currentIndexChanged(const QString &arg1);
    void slot_comboBoxStopbit_currentIndexChanged(const QString &arg1);
    void slot_comboBoxParity_currentIndexChanged(const QString &arg1);
    void on_read(void *reader);
    void on_sync(void *reader);

private:
    void showSettings();

    Ui::WidgetComPort *ui;
    ComPortCtrl *comPortCtrl;
    ConfigFile *comPortConfig;
    bool changed;
    QThread *readerThread;
    ComPortReader *reader;
    QMutex *mutex;
};

#endif // WIDGETCOMPORT_H
