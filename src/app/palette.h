// The application's look: the Fusion style and the dark colour palette that every window
// starts with. The main window's Light Mode replaces the palette of that window only.
#pragma once

#include <QPalette>

// The dark palette, built on the current application palette (the link colours stay).
QPalette darkPalette();

// Selects the Fusion style and makes the dark palette the application palette; needs the
// application object.
void installAppStyle();
