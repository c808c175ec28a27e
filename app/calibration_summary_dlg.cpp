#include "app/calibration_summary_dlg.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace app {
namespace {

QString Ma(double value, bool sign = false) {
    QString text = QString::number(value, 'f', 3);
    if (sign && value >= 0.0) text.prepend(QLatin1Char('+'));
    return text;
}

}  // namespace

CCalibrationSummaryDlg::CCalibrationSummaryDlg(QWidget* parent,
                                               const std::vector<engine::RecordPoint>& points)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("校准点确认"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("以下校准点将写入夹具, 请核对:"), this));

    m_table = new QTableWidget(static_cast<int>(points.size()), 4, this);
    m_table->setHorizontalHeaderLabels({QStringLiteral("标称值 (mA)"), QStringLiteral("参考值 (mA)"),
                                        QStringLiteral("夹具读数 (mA)"),
                                        QStringLiteral("误差 (mA)")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->setFocusPolicy(Qt::NoFocus);
    for (int row = 0; row < static_cast<int>(points.size()); ++row) {
        const engine::RecordPoint& p = points[static_cast<size_t>(row)];
        const QString cells[] = {Ma(p.nominalMa), Ma(p.referenceMa), Ma(p.readingMa),
                                 Ma(engine::ErrorMa(p), true)};
        for (int column = 0; column < 4; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_table->setItem(row, column, item);
        }
    }
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_table->setMinimumSize(440, 60 + 28 * static_cast<int>(points.size()));
    layout->addWidget(m_table);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_write = new QPushButton(QStringLiteral("确定写入"), this);
    m_revise = new QPushButton(QStringLiteral("返回修改"), this);
    // Writing is a decision: Enter alone does not make it.
    m_write->setAutoDefault(false);
    m_revise->setAutoDefault(false);
    buttons->addWidget(m_write);
    buttons->addWidget(m_revise);
    layout->addLayout(buttons);
    connect(m_write, &QPushButton::clicked, this, [this] { done(kWrite); });
    connect(m_revise, &QPushButton::clicked, this, [this] { done(kRevise); });
    m_revise->setFocus();
}

}  // namespace app
