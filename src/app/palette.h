// The application's look: the Fusion style and the dark colour palette that every window
// starts with, and the icon buttons. The main window's Light Mode replaces the palette of
// that window only.
#pragma once

#include <QPalette>
#include <QSize>
#include <QString>

class QPushButton;

// The icons of the quarter-turn buttons, in the main window and in the result dialog.
constexpr const char* kTurnClockwiseIcon = ":/kx_ressources/ICON_rotation_90.png";
constexpr const char* kTurnCounterClockwiseIcon = ":/kx_ressources/ICON_rotation_270.png";

// The dark palette, built on the current application palette (the link colours stay).
QPalette darkPalette();

// Selects the Fusion style and makes the dark palette the application palette; needs the
// application object.
void installAppStyle();

// The icon buttons' style sheet with this background colour (a CSS colour without the
// closing semicolon).
QString iconButtonSheet(const QString& background);
// An icon in place of the button's text, borderless on a transparent background.
void setIconButton(QPushButton* button, const QString& iconPath, const QSize& iconSize);
