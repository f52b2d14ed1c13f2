#pragma once

class QWidget;

// What every window of the program does the way the classic platform did.

// Enter presses the push button that has the focus, as Space does; with the
// focus anywhere else Enter is left to the window. No button is a default
// button, so nothing else ever takes Enter.
void pressFocusedButtonOnEnter(QWidget &window);
