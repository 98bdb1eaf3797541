#include "dialogalarmfilter.h"

#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>

namespace {

QSpinBox *spinBox(int low, int high, const QString &suffix, QWidget *parent)
{
    auto *box = new QSpinBox(parent);
    box->setRange(low, high);
    box->setSuffix(suffix);
    return box;
}

} // namespace

DialogAlarmFilter::DialogAlarmFilter(const MonitorCollection &collection, QWidget *parent)
    : QDialog(parent), collection(collection), scope(new QComboBox(this)),
      follow(new QCheckBox(QStringLiteral("沿用全部仪表的设置"), this)),
      onDelay(spinBox(1, AlarmFilter::maxOnDelay, QStringLiteral(" 次读数"), this)),
      chatterRaises(spinBox(0, AlarmFilter::maxChatterRaises, QStringLiteral(" 次"), this)),
      chatterWindow(spinBox(1, AlarmFilter::maxChatterWindow, QStringLiteral(" 秒"), this)),
      chatterHold(spinBox(1, AlarmFilter::maxChatterHold, QStringLiteral(" 秒"), this))
{
    setObjectName(QStringLiteral("DialogAlarmFilter"));
    setWindowTitle(QStringLiteral("报警过滤设置"));
    scope->setObjectName(QStringLiteral("comboBoxScope"));
    follow->setObjectName(QStringLiteral("checkBoxFollow"));
    onDelay->setObjectName(QStringLiteral("spinBoxOnDelay"));
    chatterRaises->setObjectName(QStringLiteral("spinBoxChatterRaises"));
    chatterWindow->setObjectName(QStringLiteral("spinBoxChatterWindow"));
    chatterHold->setObjectName(QStringLiteral("spinBoxChatterHold"));
    chatterRaises->setSpecialValueText(QStringLiteral("不判定抖动"));

    scope->addItem(QStringLiteral("全部仪表"));
    for (MonitorBase *monitor : collection.getMonitors())
        scope->addItem(QString::fromStdString(monitor->getUsername()));

    auto *form = new QFormLayout(this);
    form->addRow(QStringLiteral("适用于"), scope);
    form->addRow(QString(), follow);
    form->addRow(QStringLiteral("连续超限读数达到后报警"), onDelay);
    form->addRow(QStringLiteral("抖动：报警次数超过"), chatterRaises);
    form->addRow(QStringLiteral("抖动：统计时间"), chatterWindow);
    form->addRow(QStringLiteral("抖动报警：恢复持续"), chatterHold);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(scope, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &DialogAlarmFilter::showScope);
    connect(follow, &QCheckBox::toggled, this, [this](bool on) {
        for (QSpinBox *box : {onDelay, chatterRaises, chatterWindow, chatterHold})
            box->setEnabled(!on);
        if (on) {
            const AlarmFilter &all = this->collection.getAlarmFilter();
            onDelay->setValue(all.onDelay);
            chatterRaises->setValue(all.chatterRaises);
            chatterWindow->setValue(all.chatterWindow);
            chatterHold->setValue(all.chatterHold);
        }
    });
    showScope();
}

void DialogAlarmFilter::showScope()
{
    MonitorBase *chosen = monitor();
    const AlarmFilter *own = chosen ? chosen->ownAlarmFilter() : nullptr;
    const AlarmFilter &shown = own ? *own : collection.getAlarmFilter();
    follow->setEnabled(chosen != nullptr);
    follow->setChecked(chosen && !own);
    onDelay->setValue(shown.onDelay);
    chatterRaises->setValue(shown.chatterRaises);
    chatterWindow->setValue(shown.chatterWindow);
    chatterHold->setValue(shown.chatterHold);
    for (QSpinBox *box : {onDelay, chatterRaises, chatterWindow, chatterHold})
        box->setEnabled(!follow->isChecked());
}

MonitorBase *DialogAlarmFilter::monitor() const
{
    const int index = scope->currentIndex() - 1;
    const std::vector<MonitorBase *> &monitors = collection.getMonitors();
    return index >= 0 && size_t(index) < monitors.size() ? monitors[size_t(index)] : nullptr;
}

bool DialogAlarmFilter::followsAll() const
{
    return monitor() && follow->isChecked();
}

AlarmFilter DialogAlarmFilter::filter() const
{
    AlarmFilter chosen;
    chosen.onDelay = onDelay->value();
    chosen.chatterRaises = chatterRaises->value();
    chosen.chatterWindow = chatterWindow->value();
    chosen.chatterHold = chatterHold->value();
    return chosen;
}

QString DialogAlarmFilter::describe(const AlarmFilter &filter)
{
    QString text = QStringLiteral("连续 %1 次读数超限报警").arg(filter.onDelay);
    if (filter.chatterRaises == 0)
        return text + QStringLiteral("，不判定抖动");
    return text + QStringLiteral("，%1 秒内报警超过 %2 次为抖动，恢复持续 %3 秒才解除")
                      .arg(filter.chatterWindow)
                      .arg(filter.chatterRaises)
                      .arg(filter.chatterHold);
}
