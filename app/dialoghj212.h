#ifndef DIALOGHJ212_H
#define DIALOGHJ212_H

#include "settings/hj212settings.h"

#include <QDialog>

#include <map>
#include <string>

class Hj212Uploader;

namespace Ui {
class DialogHj212;
}

// 仪表 → 数据上传: edits config/Hj212.json (the platforms, their points and the factor codes)
// and applies it to the station's uploader, with each point's state shown under the form. Only
// a signed-in administrator may store a change; each stored change leaves one row in the trail
// (a password's text never).
class DialogHj212 : public QDialog
{
    Q_OBJECT

public:
    explicit DialogHj212(QWidget *parent = nullptr);
    ~DialogHj212() override;

    // The settings as the form holds them.
    Hj212Settings formSettings();

    // What changed, for the trail.
    static QString changes(const Hj212Settings &before, const Hj212Settings &after);

public slots:
    // Checks the form, stores and applies a change; stays open on a refusal.
    void accept() override;

private slots:
    void selectPlatform(int row);
    void addPlatform();
    void removePlatform();
    void showState();

private:
    // Form <-> edited.platforms[shown].
    void storePlatform();
    void showPlatform(int index);
    void fillCodes(const std::map<std::string, std::string> &codes);

    Ui::DialogHj212 *ui;
    Hj212Uploader *uploader;
    Hj212Settings current; // what runs
    Hj212Settings edited;
    int shown = -1;
};

#endif // DIALOGHJ212_H
