// The texts behind the Help menu and the build identification they carry.
#pragma once

#include <QString>

// The platform this program was built for, such as "win64" or "linux64".
extern const QString platformTag;
// Build date and time from the compiler, as "yyyy_MM_dd|hh:mm:ss".
extern const QString buildStamp;
// The year of the build: the first four characters of buildStamp.
extern const QString buildYear;

// Turns the compiler's __DATE__ ("Jun  7 2022") and __TIME__ ("10:47:34") into
// "2022_06_07|10:47:34". The month names are the English ones whatever the locale.
QString formatBuildStamp(const char* date, const char* time);

// The text of the About window: version line, ownership, disclaimer and source offer,
// joined by "\r\n".
QString aboutText();
// The instructions of the Help window.
QString instructionsText();
// The full GNU Lesser General Public License, version 3.
QString lgplText();

// Registers the compiled-in icons and texts. The resources live in a static library, whose
// registration code the linker would otherwise drop; calling this more than once is harmless.
void initAppResources();
