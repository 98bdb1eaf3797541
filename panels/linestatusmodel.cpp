#include "linestatusmodel.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>

#include <cmath>

namespace {

const char *const headers[LineStatusModel::ColumnCount] = {
    "名称",   "id",       "型号",     "状态",     "交换次数", "无应答",
    "CRC/帧错误", "异常码", "型号不符", "不支持", "端口错误", "最近响应(ms)",
    "中位响应(ms)", "最大响应(ms)", "最近正常应答"};

QString count(long long value)
{
    return QString::number(value);
}

// A response time; "-" while there was no good answer.
QString milliseconds(int ms)
{
    return ms < 0 ? QStringLiteral("-") : QString::number(ms);
}

} // namespace

LineStatusModel::LineStatusModel(QObject *parent) : QAbstractTableModel(parent) {}

QString LineStatusModel::demotionText(const InstrumentHealth &health)
{
    if (!health.demoted)
        return QString();
    const QString reason = QString::fromStdString(health.reasonText());
    // Rounded up: "in 0 s" would read as a try that is overdue.
    const long seconds = std::max(0L, long(std::ceil(health.nextTrySeconds)));
    return QStringLiteral("降级：%1，约%2秒后重试")
        .arg(reason.isEmpty() ? QStringLiteral("连续通讯失败") : reason)
        .arg(seconds);
}

QString LineStatusModel::stateText(const Instrument &instrument)
{
    if (instrument.health.demoted)
        return QStringLiteral("降级，约%1秒后重试")
            .arg(std::max(0L, long(std::ceil(instrument.health.nextTrySeconds))));
    if (!instrument.synced) {
        const std::string reason = instrument.syncFailure.text();
        return reason.empty() ? QStringLiteral("未同步") : QString::fromStdString(reason);
    }
    return QStringLiteral("正常");
}

std::array<bool, LineStatusModel::ColumnCount>
LineStatusModel::differences(const Instrument &was, const Instrument &now)
{
    const InstrumentHealth &a = was.health, &b = now.health;
    std::array<bool, ColumnCount> differ;
    differ[Name] = was.name != now.name;
    differ[Id] = was.id != now.id;
    differ[Model] = was.model != now.model;
    // The state's text and its tooltip.
    differ[State] = was.synced != now.synced || !(was.syncFailure == now.syncFailure) ||
                    a.demoted != b.demoted || !(a.lastFailure == b.lastFailure) ||
                    (b.demoted && std::ceil(a.nextTrySeconds) != std::ceil(b.nextTrySeconds));
    differ[Exchanges] = a.exchanges != b.exchanges;
    differ[NoAnswer] = a.noAnswer != b.noAnswer;
    differ[FrameErrors] = a.frameErrors != b.frameErrors;
    differ[ExceptionAnswers] = a.exceptionAnswers != b.exceptionAnswers;
    differ[OtherModel] = a.otherModel != b.otherModel;
    differ[Unsupported] = a.unsupported != b.unsupported;
    differ[PortErrors] = a.portErrors != b.portErrors;
    differ[LastResponse] = a.lastResponseMs != b.lastResponseMs;
    differ[MedianResponse] = a.medianResponseMs != b.medianResponseMs;
    differ[MaxResponse] = a.maxResponseMs != b.maxResponseMs;
    differ[LastGoodAnswer] = a.lastGoodAnswerMs / 1000 != b.lastGoodAnswerMs / 1000 ||
                             (a.lastGoodAnswerMs > 0) != (b.lastGoodAnswerMs > 0);
    return differ;
}

void LineStatusModel::fill(const Instrument &instrument, const std::array<bool, ColumnCount> &which,
                           Row &row)
{
    const InstrumentHealth &health = instrument.health;
    std::array<QString, ColumnCount> &texts = row.texts;
    auto set = [&](int column, auto text) {
        if (which[size_t(column)])
            texts[size_t(column)] = text();
    };
    set(Name, [&] { return instrument.name; });
    set(Id, [&] { return QString::number(instrument.id); });
    set(Model, [&] { return instrument.model; });
    set(State, [&] { return stateText(instrument); });
    set(Exchanges, [&] { return count(health.exchanges); });
    set(NoAnswer, [&] { return count(health.noAnswer); });
    set(FrameErrors, [&] { return count(health.frameErrors); });
    set(ExceptionAnswers, [&] { return count(health.exceptionAnswers); });
    set(OtherModel, [&] { return count(health.otherModel); });
    set(Unsupported, [&] { return count(health.unsupported); });
    set(PortErrors, [&] { return count(health.portErrors); });
    set(LastResponse, [&] { return milliseconds(health.lastResponseMs); });
    set(MedianResponse, [&] { return milliseconds(health.medianResponseMs); });
    set(MaxResponse, [&] { return milliseconds(health.maxResponseMs); });
    set(LastGoodAnswer, [&] {
        return health.lastGoodAnswerMs > 0 ? timeText(health.lastGoodAnswerMs)
                                           : QStringLiteral("-");
    });
    if (which[State]) {
        row.demoted = health.demoted;
        row.tip = health.demoted ? demotionText(health)
                                 : QString::fromStdString(health.reasonText());
    }
    row.shown = instrument;
}

const QString &LineStatusModel::timeText(long long msSinceEpoch)
{
    const long long second = msSinceEpoch / 1000;
    if (second != shownSecond) {
        shownSecond = second;
        shownTime = QDateTime::fromSecsSinceEpoch(second).toString(
            QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    return shownTime;
}

void LineStatusModel::update(const std::vector<Instrument> &instruments)
{
    std::array<bool, ColumnCount> all;
    all.fill(true);
    if (instruments.size() != rows.size()) {
        beginResetModel();
        rows.assign(instruments.size(), Row());
        for (size_t i = 0; i < instruments.size(); ++i)
            fill(instruments[i], all, rows[i]);
        endResetModel();
        return;
    }
    for (size_t i = 0; i < instruments.size(); ++i) {
        Row &row = rows[i];
        // Figures are compared before they are turned into texts: most stay the same.
        const std::array<bool, ColumnCount> changed = differences(row.shown, instruments[i]);
        fill(instruments[i], changed, row);
        // One announcement for each run of changed cells: a view repaints only those, not the
        // unchanged counters between them.
        for (int column = 0; column < ColumnCount;) {
            if (!changed[size_t(column)]) {
                ++column;
                continue;
            }
            const int first = column;
            while (column + 1 < ColumnCount && changed[size_t(column) + 1])
                ++column;
            emit dataChanged(index(int(i), first), index(int(i), column));
            ++column;
        }
    }
}

int LineStatusModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int LineStatusModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LineStatusModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows.size()) || index.column() >= ColumnCount)
        return QVariant();
    const Row &row = rows[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return row.texts[size_t(index.column())];
    case Qt::ToolTipRole:
        return index.column() == State && !row.tip.isEmpty() ? QVariant(row.tip) : QVariant();
    case Qt::ForegroundRole:
        // Amber, as the overview marks a demoted cell.
        return index.column() == State && row.demoted ? QVariant(QBrush(QColor(0xB8, 0x6E, 0x00)))
                                                      : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() > State ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                                      : QVariant();
    default:
        return QVariant();
    }
}

QVariant LineStatusModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return section >= 0 && section < ColumnCount ? QString::fromUtf8(headers[section])
                                                     : QVariant();
    return section + 1;
}
