// The text window: a read-only text field filling a 640 x 480 dialog.
#include "displaytextfile.h"

#include <QGridLayout>
#include <QTextEdit>

DisplayTextFile::DisplayTextFile(const QString& text, const QString& title, const QIcon& icon)
    : QDialog(nullptr, Qt::WindowFlags())
{
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setFixedSize(640, 480);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(title);
    setWindowIcon(icon);

    auto* layout = new QGridLayout;
    textEdit = new QTextEdit;
    layout->addWidget(textEdit);
    textEdit->setText(text);
    textEdit->setReadOnly(true);
    setLayout(layout);
}
