#include "runtime/LauncherEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

QString LauncherEntry::applicationUri()
{
    return QStringLiteral("application://org.brightsweep.Brightsweep.desktop");
}

QString LauncherEntry::objectPath()
{
    return QStringLiteral("/org/brightsweep/Brightsweep/LauncherEntry");
}

void LauncherEntry::update(double progress, bool progressVisible)
{
    if (m_bus == Bus::NotLookedFor)
        m_bus = QDBusConnection::sessionBus().isConnected() ? Bus::Connected : Bus::Missing;
    if (m_bus != Bus::Connected)
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(objectPath(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                   QStringLiteral("Update"));
    signal << applicationUri()
           << QVariantMap{{QStringLiteral("progress"), progress},
                          {QStringLiteral("progress-visible"), progressVisible}};
    // A bus that went away meanwhile just loses the update.
    QDBusConnection::sessionBus().send(signal);
}
