#ifndef HJ212STATUSLABEL_H
#define HJ212STATUSLABEL_H

#include "hj212/hj212uploader.h"

#include <QPointer>
#include <QWidget>

#include <vector>

class QHBoxLayout;
class QLabel;

// The uploads to the environmental platforms in the main window's status bar: one label per
// point, connected or reconnecting, a queue that stores nothing and what was lost, with the
// reason, the backlog and what is not uploaded in its tooltip. Hidden while no point uploads.
// It reads the uploader's status only when the uploader reports a change, at most once per
// pass of the event loop.
class Hj212StatusLabel : public QWidget
{
    Q_OBJECT

public:
    explicit Hj212StatusLabel(QWidget *parent = nullptr);

    void follow(Hj212Uploader *uploader);
    void showStatus(const std::vector<Hj212Uploader::PointStatus> &points);

    // The point's state for the operator in one line, the reason and backlog included.
    static QString describe(const Hj212Link::Status &status);
    // "NAME MN".
    static QString title(const Hj212Uploader::PointStatus &point);

private:
    void refresh();

    QPointer<Hj212Uploader> uploader;
    QHBoxLayout *row;
    std::vector<QLabel *> labels;
    bool refreshQueued = false;
};

#endif // HJ212STATUSLABEL_H
