#pragma once

#include <QFont>
#include <Qt>

#include <functional>

class QPixmap;
class QString;
class QWidget;

// What every window of the program does the way the classic platform did.

// Enter presses the push button that has the focus, as Space does; with the
// focus anywhere else Enter is left to the window. No button is a default
// button, so nothing else ever takes Enter.
void pressFocusedButtonOnEnter(QWidget &window);

// A dialog's frame: fixed, a title bar without system menu, close, minimise
// or maximise button, and no task-bar entry.
Qt::WindowFlags classicDialogFlags();

// A picture of the program's resources, its light grey (192, 192, 192) made
// transparent: the artwork stays plain 16-colour XPM without alpha.
QPixmap classicPicture(const QString &resource);

// The windows were drawn for the classic 8-point system font; a wider font
// would cut their captions off. The platform's font where fits() holds for
// it, otherwise the nearest smaller or narrower cut that fits, or the
// smallest tried.
QFont fittingFont(const QFont &platform, const std::function<bool(const QFont &)> &fits);

// The busy pointer for as long as the object lives, on every way out of the
// handler that holds it, failures included. The handler still runs to its
// end before any input is handled: this only tells the user so.
class BusyCursor
{
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};
