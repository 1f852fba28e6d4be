// The main window's tab control: a tab widget whose tabs can be put into an alert state
// (red text and a warning icon) so that an operator sees a problem from any page.
#pragma once

#include <QIcon>
#include <QTabWidget>
#include <QVector>

class SftTabs : public QTabWidget {
    Q_OBJECT
public:
    explicit SftTabs(QWidget* parent = nullptr);

    // Switches the alert state of tab `index` on (red text, warning icon) or off (normal
    // look). An index outside the tabs is ignored.
    void setTabAlert(int index, bool on);

    // True while tab `index` is in its alert state; false for an index outside the tabs.
    bool tabAlert(int index) const;

Q_SIGNALS:
    // Emitted when the alert state of a tab actually changes.
    void tabAlertChanged(int index, bool on);

protected:
    void tabInserted(int index) override;
    void tabRemoved(int index) override;

private:
    QVector<bool> alerts_;
    QIcon warningIcon_;
};
