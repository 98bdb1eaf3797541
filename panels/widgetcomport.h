#ifndef WIDGETCOMPORT_H
#define WIDGETCOMPORT_H

#include "line/passplan.h"

#include <QStringList>
#include <QWidget>

class ComPortCtrl;
class ComPortReader;
class ConfigFile;
class QLineEdit;
class QMutex;
class QSpinBox;
class QThread;

namespace Ui {
class WidgetComPort;
}

// The settings of one instrument line (a serial port, or a Modbus TCP gateway's address) and
// its on/off switch. Owns the line, the reader thread that performs every exchange on it, and
// the mutex that keeps opening and closing apart from the reader's passes; relays read and
// sync requests to the reader. Line 1 is stored in ComPort.json, further lines in Lines.json.
// Switching off never waits on the interface thread: the reader stops before its next
// exchange and closes the line itself, and signal_comPort(false) follows once it has.
// A line whose device went away stays switched on while the reader reopens it; the panel
// says so and announces it with signal_lineLost.
class WidgetComPort : public QWidget
{
    Q_OBJECT

public:
    // Line 1, as ComPort.json holds it.
    explicit WidgetComPort(QWidget *parent = nullptr);
    // A further line read from `linesConfig` (Lines.json), which the panel takes over and
    // stores there.
    WidgetComPort(ComPortCtrl *line, ConfigFile *linesConfig, QWidget *parent = nullptr);
    ~WidgetComPort() override;

    // Stores the settings in ComPort.json if a combo box was changed since loading or since
    // the last store. A failed store is shown, and the settings stay marked changed.
    void saveConfig();
    // Returns once the reader has finished every request queued before the call. Call it
    // before deleting a monitor or its panel, so that no queued pass or sync touches them
    // afterwards; their done signals may still be on their way to the interface thread.
    // A switch-off under way is completed and announced before it returns.
    void waitForReader();
    // Turns the switch off, as the operator does; the line follows without waiting here.
    void switchOff();
    // The line is closed and nothing is closing it: signal_comPort(false) has been sent.
    bool isLineOff() const { return lineState == LineOff; }
    // The line is switched on, but its device went away and is being reopened.
    bool isLineLost() const { return lineLost; }

    ComPortCtrl *getComPortCtrl() const { return comPortCtrl; }
    ComPortReader *getReader() const { return reader; }

    // The port list: COM1 ... COM100, the USB and ACM serial devices in `devDir` in
    // numeric order, then `stored` when it is a device path not listed yet.
    static QStringList portNames(const QString &stored,
                                 const QString &devDir = QStringLiteral("/dev"));
    // The message of a failed open: the fixed text, and the system's reason for `error`
    // (an errno value, 0 for none) on a second line.
    static QString openFailureText(int error);
    // Whether the serial settings are open to whoever is at the keyboard (they are until the
    // window says otherwise). When not, the settings controls are disabled, still showing what
    // is set, with the reason in their tooltips; switching the line stays open to everyone.
    void setSettingsAllowed(bool allowed);
    bool isSettingsAllowed() const { return settingsAllowed; }
    // Where the port box looks for serial devices when it opens; tests point it elsewhere.
    void setDeviceDir(const QString &dir) { deviceDir = dir; }
    // In a station of several lines the panel is titled with its line's name and its switch
    // is the line's own; alone it is the system's switch, as it always was.
    void setOneOfSeveral(bool several);
    // The switch's position, as the operator set it.
    bool isSwitchedOn() const;
    void switchOn();

signals:
    void signal_comPort(bool status);
    // true: the device went away and is being reopened; false: it is back, or the line was
    // switched off meanwhile.
    void signal_lineLost(bool lost);
    void signal_read(void *reader, ComPortCtrl *ctrl, const PassPlan &plan);
    void signal_sync(void *reader, ComPortCtrl *ctrl);
    // A setting changed, for the trail: "修改串口设置" and which one, from what to what.
    void signal_maintenance(const QString &action, const QString &detail);

public slots:
    void on_checkBoxConnect_stateChanged(int arg1);
    void slot_comboBoxPort_currentIndexChanged(const QString &arg1);
    void slot_comboBoxBaudrate_currentIndexChanged(const QString &arg1);
    void slot_comboBoxDatabit_currentIndexChanged(const QString &arg1);
    void slot_comboBoxStopbit_currentIndexChanged(const QString &arg1);
    void slot_comboBoxParity_currentIndexChanged(const QString &arg1);
    void slot_doubleSpinBoxTimeout_valueChanged(double value);
    void on_read(void *reader, const PassPlan &plan);
    void on_sync(void *reader);

private slots:
    void slot_lineClosed(int ticket);
    void slot_lineLost();
    void slot_lineRestored();

private slots:
    void slot_hostEdited();
    void slot_tcpPortEdited(int value);

private:
    enum LineState
    {
        LineOff,
        LineOn,
        LineClosing
    };

    void setUp();
    // Of a TCP line: the address fields in place of the serial ones.
    void showGateway();
    void openLine();
    void showLineLost(bool lost);
    void showSettings();
    // Lists the ports present now, keeping the selection and the stored port.
    void refreshPorts();
    // Refuses a change while the settings are locked: the controls show the line's settings
    // again. True when the change may go on.
    bool acceptChange();
    void reportChange(const QString &setting, const QString &before, const QString &after);
    void showPortToolTip(const QString &port);

    Ui::WidgetComPort *ui;
    ComPortCtrl *comPortCtrl;
    ConfigFile *comPortConfig;
    // Line 1 lives in ComPort.json; the others in their entry of Lines.json.
    bool firstLine = true;
    QLineEdit *lineEditHost = nullptr;
    QSpinBox *spinBoxTcpPort = nullptr;
    bool changed;
    bool settingsAllowed = true;
    QThread *readerThread;
    ComPortReader *reader;
    QMutex *mutex;
    LineState lineState = LineOff;
    bool lineLost = false;
    // Tells the answer of the latest close from an earlier one still on its way.
    int closeTicket = 0;
    // The port as loaded from ComPort.json.
    QString storedPort;
    QString deviceDir = QStringLiteral("/dev");
};

#endif // WIDGETCOMPORT_H
