#include "iodata.h"

#include "statuswatcher.h"

void BigImageLoadData::message(const QString& text) const
{
    if (watcher)
        watcher->postMessage(text, icon);
}

void BigImageSaveData::message(const QString& text) const
{
    if (watcher)
        watcher->postMessage(text, icon);
}
