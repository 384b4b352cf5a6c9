// Build identification and the Help menu's texts. The long texts are compiled-in resources;
// the about text is assembled here so that it names this very build.
#include "texts.h"

#include <QDate>
#include <QFile>
#include <QLocale>
#include <QStringList>

namespace {

QString platformName()
{
    const QString bits = QString::number(sizeof(void*) * 8);
#if defined(_WIN32)
    return "win" + bits;
#elif defined(__linux__)
    return "linux" + bits;
#elif defined(__APPLE__)
    return "macos" + bits;
#else
    return "unix" + bits;
#endif
}

QString resourceText(const QString& path)
{
    initAppResources();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

// Defined in this order on purpose: buildYear is initialised from buildStamp.
const QString platformTag = platformName();
const QString buildStamp = formatBuildStamp(__DATE__, __TIME__);
const QString buildYear = buildStamp.left(4);

QString formatBuildStamp(const char* date, const char* time)
{
    // __DATE__ pads a one-digit day with a space ("Jun  7 2022"); simplified() leaves one.
    const QLocale c(QLocale::C);
    const QDate day = c.toDate(QString::fromLatin1(date).simplified(), "MMM d yyyy");
    return QString("%1|%2").arg(c.toString(day, "yyyy_MM_dd"), QString::fromLatin1(time));
}

QString aboutText()
{
    const QStringList lines = {
        "Seamwright (" + platformTag + ", build date " + buildStamp + ")" + ".",
        "Copyright (C) the Seamwright developers, " + buildYear + ".",
        "",
        "This software is provided \"as is\", without any express or implied warranties, "
        "including, without limitation, the implied warranties of merchantability and "
        "fitness for a particular purpose.",
        "",
        "Seamwright is based in part on the Qt toolkit, which it uses under the terms of "
        "the GNU Lesser General Public License, version 3 (LGPLv3). The full text of that "
        "licence is shown under Help, LGPLv3.",
        "",
        "On written request, the Seamwright developers will provide the complete source "
        "code of the open-source software that this program uses, on a customary medium "
        "and for no more than the cost of providing it.",
    };
    return lines.join("\r\n");
}

QString instructionsText()
{
    return resourceText(":/texts/instructions.txt");
}

QString lgplText()
{
    return resourceText(":/texts/LGPL-3");
}

void initAppResources()
{
    Q_INIT_RESOURCE(seamwright);
}
