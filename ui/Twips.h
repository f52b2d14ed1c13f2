#pragma once

#include <QRect>

// The windows were drawn in twips, 1/1440 inch: 15 make one pixel at 96 dpi.
// Positions off screen are negative, so round half away from zero.
constexpr int pixels(int twips)
{
    return (twips >= 0 ? twips + 7 : twips - 7) / 15;
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(pixels(left), pixels(top), pixels(width), pixels(height));
}
