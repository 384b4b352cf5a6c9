// The dark palette: solid colours for every role but the links, in all colour groups, and
// a dimmer text colour for disabled widgets.
#include "palette.h"

#include <QApplication>
#include <QColor>
#include <QStyleFactory>

QPalette darkPalette()
{
    QPalette palette;
    const auto set = [&palette](QPalette::ColorRole role, int r, int g, int b) {
        palette.setColor(role, QColor(r, g, b));
    };
    set(QPalette::Window, 37, 37, 37);
    set(QPalette::WindowText, 212, 212, 212);
    set(QPalette::Base, 60, 60, 60);
    set(QPalette::AlternateBase, 45, 45, 45);
    set(QPalette::PlaceholderText, 127, 127, 127);
    set(QPalette::Text, 212, 212, 212);
    set(QPalette::Button, 45, 45, 45);
    set(QPalette::ButtonText, 212, 212, 212);
    set(QPalette::BrightText, 240, 240, 240);
    set(QPalette::Highlight, 38, 79, 120);
    set(QPalette::HighlightedText, 240, 240, 240);
    set(QPalette::Light, 60, 60, 60);
    set(QPalette::Midlight, 52, 52, 52);
    set(QPalette::Dark, 30, 30, 30);
    set(QPalette::Mid, 37, 37, 37);
    set(QPalette::Shadow, 0, 0, 0);
    set(QPalette::ToolTipText, 212, 212, 212);
    set(QPalette::ToolTipBase, 60, 60, 60);
    // Last, so that the all-groups Text colour above does not overwrite it.
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(127, 127, 127));
    return palette;
}

void installAppStyle()
{
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(darkPalette());
}
