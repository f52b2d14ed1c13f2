#include "ui/main/ClockStatusBar.h"
#include "ui/Twips.h"

#include <QDateTime>
#include <QFontDatabase>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QTimer>

QString ClockStatusBar::hoursAndMinutes(const QLocale &locale)
{
    // Some locales' short time still carries seconds; the panel shows
    // hours and minutes only.
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[^hHmaApPt]*s+(\\.z+)?")));
    return format.trimmed();
}

ClockStatusBar::ClockStatusBar(QWidget *parent)
    : QStatusBar(parent)
{
    setObjectName(QStringLiteral("StatusBar1"));
    setSizeGripEnabled(false);
    const QString classicFont = QStringLiteral("MS Sans Serif");
    if (QFontDatabase::families().contains(classicFont, Qt::CaseInsensitive)) {
        QFont font(classicFont);
        font.setPointSizeF(8.25);
        setFont(font);
    }
    // The panels are placed by hand: the bar's own layout puts margins and
    // spacing between its items, and the panels must sit edge to edge.
    for (int i = 0; i < 3; ++i) {
        m_panels[i] = new QLabel(this);
        m_panels[i]->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        m_panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_panels[i]->setIndent(2);
        m_panels[i]->setMinimumWidth(pixels(panelTwips[i]));
    }
    m_panels[2]->setText(tr("Brightsweep"));
    m_panels[2]->setToolTip(tr("Copyright (C) 1998 Brightsweep Software. All rights reserved."));

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("clock"));
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &ClockStatusBar::refresh);
    refresh();
}

QLabel *ClockStatusBar::panel(int number) const
{
    if (number < 1 || number > 3)
        return nullptr;
    return m_panels[number - 1];
}

void ClockStatusBar::refresh()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    m_panels[0]->setText(locale.toString(now.date(), QLocale::ShortFormat));
    m_panels[1]->setText(locale.toString(now.time(), hoursAndMinutes(locale)));
    // Wake just after the minute turns, so the time panel never lags by
    // more than a moment.
    const QTime time = now.time();
    const int intoMinute = time.second() * 1000 + time.msec();
    m_timer->start(60000 - intoMinute + 20);
}

void ClockStatusBar::resizeEvent(QResizeEvent *event)
{
    QStatusBar::resizeEvent(event);
    placePanels();
}

void ClockStatusBar::placePanels()
{
    int left = 0;
    for (int i = 0; i < 3; ++i) {
        const int width = pixels(panelTwips[i]);
        m_panels[i]->setGeometry(left, 0, width, height());
        left += width;
    }
}
