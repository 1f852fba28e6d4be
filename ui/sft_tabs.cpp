// Alert state of the tabs of the main window's tab control.
#include "ui/sft_tabs.h"

#include <QStyle>
#include <QTabBar>

SftTabs::SftTabs(QWidget* parent) : QTabWidget(parent) {
    warningIcon_ = style()->standardIcon(QStyle::SP_MessageBoxWarning);
}

void SftTabs::tabInserted(int index) {
    QTabWidget::tabInserted(index);
    if (index >= 0 && index <= alerts_.size())
        alerts_.insert(index, false);
}

void SftTabs::tabRemoved(int index) {
    QTabWidget::tabRemoved(index);
    if (index >= 0 && index < alerts_.size())
        alerts_.remove(index);
}

void SftTabs::setTabAlert(int index, bool on) {
    if (index < 0 || index >= count() || index >= alerts_.size())
        return;
    const bool changed = alerts_[index] != on;
    alerts_[index] = on;
    // The tab bar's default text colour comes back when an invalid colour is set.
    tabBar()->setTabTextColor(index, on ? QColor(Qt::red) : QColor());
    setTabIcon(index, on ? warningIcon_ : QIcon());
    if (changed)
        Q_EMIT tabAlertChanged(index, on);
}

bool SftTabs::tabAlert(int index) const {
    return index >= 0 && index < alerts_.size() && alerts_[index];
}
