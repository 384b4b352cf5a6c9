// Answers the next file dialog as a user would: types a name and accepts, or cancels.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

// Polls for a visible QFileDialog; with an empty name it is cancelled.
inline void answerFileDialog(QObject* owner, const QString& name)
{
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, name] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            poll->stop();
            poll->deleteLater();
            if (name.isEmpty()) {
                QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
            } else {
                dialog->findChild<QLineEdit*>()->setText(name);
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            }
            return;
        }
    });
    poll->start(20);
}
