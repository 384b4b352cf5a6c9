// A fixed-size, parentless window that shows one read-only text: the instructions, the
// about text or the licence.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>

class QTextEdit;

class DisplayTextFile : public QDialog {
    Q_OBJECT
public:
    // Plain or rich text is told apart by Qt. The caller shows the window with show().
    DisplayTextFile(const QString& text, const QString& title, const QIcon& icon);

private:
    QTextEdit* textEdit;
};
