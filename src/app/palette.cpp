// The dark palette: solid colours for every role but the links, in all colour groups, and
// a dimmer text colour for disabled widgets; the borderless icon buttons.
#include "palette.h"

#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QPushButton>
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

// Under Fusion a sheet that sets only the background keeps the native bevel with its opaque
// face; without a border the sheet paints the whole button, so only the icon shows on the
// window's ground. A faint grey wash on hover and press reads on the dark and the light
// ground alike.
QString iconButtonSheet(const QString& background)
{
    return "QPushButton { background-color: " + background + "; border: none; padding: 4px; }"
           " QPushButton:hover:enabled { background-color: rgba(128, 128, 128, 60); }"
           " QPushButton:pressed { background-color: rgba(128, 128, 128, 110); }";
}

void setIconButton(QPushButton* button, const QString& iconPath, const QSize& iconSize)
{
    button->setIcon(QIcon(iconPath));
    button->setStyleSheet(iconButtonSheet("rgba(168, 168, 168, 0)"));
    button->setIconSize(iconSize);
    button->setText(QString());
}
