// The records that a load or a save fills: where messages go, which icon they carry,
// the file name, the resolution, and whether anything was loaded or saved.
#pragma once

#include "bigimage.h"

#include <QString>
#include <QStringList>

#include <cstdint>

class StatusWatcher;

// Resolution in dots per metre, as QImage reports it; zero while unknown.
struct DotsPerMetre {
    int32_t x = 0;
    int32_t y = 0;
};

struct BigImageLoadData {
    QString icon;
    StatusWatcher* watcher = nullptr; // may be null: no progress, messages dropped
    DotsPerMetre* dpi = nullptr;      // if set, receives the image's resolution
    bool loaded = false;
    bool damaged = false; // loaded from a damaged file: what could be read of it
    QString filename = QStringLiteral("no file loaded");
    QString filter;

    // Queues text for a message box (any thread); dropped without a watcher.
    void message(const QString& text) const;
};

struct BigImageSaveData {
    BigImagePtr image;
    QString filename;
    QString directory;
    DotsPerMetre dpi;
    QString description;
    bool reportSuccess = false;
    StatusWatcher* watcher = nullptr;
    QString icon;
    QStringList filters;
    bool saved = false;

    void message(const QString& text) const;
};
