#pragma once

#include <QString>

// The program's entry on the task bar, as docks and task managers meet it on
// the session bus: the Update signal of com.canonical.Unity.LauncherEntry
// for the program's desktop file. They listen for the signal from any
// sender on any path, so the path need only stay the same.
class LauncherEntry
{
public:
    // The desktop file id the entry belongs to, as an application URI.
    static QString applicationUri();
    static QString objectPath();

    // Without a session bus nothing is sent, and nothing said: the bus is
    // looked for once, at the first update.
    void update(double progress, bool progressVisible);

private:
    enum class Bus { NotLookedFor, Connected, Missing };
    Bus m_bus = Bus::NotLookedFor;
};
