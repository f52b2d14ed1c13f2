#pragma once

#include <QStatusBar>

class QLabel;
class QLocale;
class QTimer;

// StatusBar1: the short date, the time in hours and minutes, and the
// product's name with the rights notice as its hover text. The bar keeps
// the date and time current by itself; nothing else writes to it.
class ClockStatusBar : public QStatusBar
{
    Q_OBJECT

public:
    explicit ClockStatusBar(QWidget *parent);

    QLabel *panel(int number) const;

    // Panel widths in twips, left to right.
    static constexpr int panelTwips[3] = {2050, 1440, 1440};

    // The locale's short time format without seconds.
    static QString hoursAndMinutes(const QLocale &locale);

    // Shows the clock's time now and waits for the start of the next minute.
    void refresh();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void placePanels();

    QLabel *m_panels[3] = {};
    QTimer *m_timer = nullptr;
};
