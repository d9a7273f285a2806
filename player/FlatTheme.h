#pragma once
// The drawing values of the flat skin, shared by every flat control and read at
// every paint. They exist from CreateFlatTheme to ReleaseFlatTheme, a span that
// encloses the main window's life; only the interface thread reads them.

#include <windows.h>

struct FlatThemeValues {
    HBRUSH backBrush;   // black: the face of every control and of the window
    HBRUSH frameBrush;  // white: frames, the groove and the thumb
    HBRUSH checkBrush;  // orange: the check box's mark
    COLORREF textColor; // white: button and check box text
    COLORREF linkColor; // green: link label text
};

extern FlatThemeValues FlatTheme;

// Makes the three brushes, then sets the two colours.
void CreateFlatTheme();
// Deletes the check, back and frame brushes, in that order, and clears them.
void ReleaseFlatTheme();
