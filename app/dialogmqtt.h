#ifndef DIALOGMQTT_H
#define DIALOGMQTT_H

#include "settings/mqttsettings.h"

#include <QDialog>

class MqttPublisher;

namespace Ui {
class DialogMqtt;
}

// 仪表 → MQTT设置: edits config/Mqtt.json and applies it to the station's publisher, with the
// publisher's present state shown under the form. Only a signed-in administrator may store a
// change; each stored change leaves one row in the trail (the password's text never).
class DialogMqtt : public QDialog
{
    Q_OBJECT

public:
    explicit DialogMqtt(QWidget *parent = nullptr);
    ~DialogMqtt() override;

    // The settings as the form holds them, empty fields replaced by their defaults.
    MqttSettings formSettings() const;

public slots:
    // Checks the form, stores and applies a change; stays open on a refusal.
    void accept() override;

private slots:
    void chooseCaFile();
    void showState();

private:
    void fill(const MqttSettings &settings);
    // The first problem of the form in Chinese; empty when it can be stored.
    QString problem(const MqttSettings &settings) const;
    // What changed, for the trail.
    static QString changes(const MqttSettings &before, const MqttSettings &after);

    Ui::DialogMqtt *ui;
    MqttPublisher *publisher;
    MqttSettings current;
};

#endif // DIALOGMQTT_H
