#ifndef DISKSTATUSLABEL_H
#define DISKSTATUSLABEL_H

#include "storage/diskguard.h"

#include <QLabel>

// The free space of the station folder's disk in the main window's status bar: the space left,
// marked while it is low or critical, with where, how much, the days left at the current rate
// and what to do in its tooltip.
class DiskStatusLabel : public QLabel
{
    Q_OBJECT

public:
    explicit DiskStatusLabel(QWidget *parent = nullptr);

    // Follows the guard's measurements from now on.
    void follow(DiskGuard *guard);
    void showStatus(const DiskGuard::Status &status);
};

#endif // DISKSTATUSLABEL_H
