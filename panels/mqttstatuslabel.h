#ifndef MQTTSTATUSLABEL_H
#define MQTTSTATUSLABEL_H

#include "mqtt/mqttpublisher.h"

#include <QLabel>

// The publishing state in the main window's status bar: connected, reconnecting or off, with
// the reason and the backlog in its tooltip; in red when messages are lost or cannot be stored,
// naming why (the queue cannot be written, the disk is full, the queue's files are damaged,
// the bound was reached). It changes only when the publisher reports a new state, never per
// reading.
class MqttStatusLabel : public QLabel
{
    Q_OBJECT

public:
    explicit MqttStatusLabel(QWidget *parent = nullptr);

    // Follows the publisher's reports from now on; null shows publishing off.
    void follow(MqttPublisher *publisher);
    void showStatus(const MqttPublisher::Status &status);

    // One line of the state for the operator, the reason and backlog included.
    static QString describe(const MqttPublisher::Status &status);
};

#endif // MQTTSTATUSLABEL_H
