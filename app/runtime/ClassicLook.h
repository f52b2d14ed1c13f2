#pragma once

#include <QPalette>

// The look of the platform the program reproduces, for users who run it
// beside programs of that platform: Qt's own "Windows" style in the grey
// standard palette of Windows 95. Only the drawing changes; every control
// keeps its place and size.

QPalette classicPalette();

// Draws every window made from now on, and every one already shown, that
// way. Returns false, changing nothing, where Qt was built without the style.
bool applyClassicLook();
