#include "mainwindow.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral("V1.5"));
    setWindowIcon(QIcon(QStringLiteral(":/res/image/app.png")));
}

MainWindow::~MainWindow()
{
    delete ui;
}
