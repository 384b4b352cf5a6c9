// Tests of the application shell: the main window's settings and menus, the dark palette,
// the colour modes, the text windows of the Help menu, the build stamp and the icons.
#include "displaytextfile.h"
#include "palette.h"
#include "stitching.h"
#include "texts.h"

#include <QAction>
#include <QApplication>
#include <QImageReader>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTextEdit>
#include <QtTest>

#include <cstdlib>

namespace {

// The text windows that `window` opens when its action `name` is triggered `times` times.
QList<DisplayTextFile*> openThrough(Stitching& window, const QString& name, int times = 1)
{
    const auto textWindows = [] {
        QList<DisplayTextFile*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* text = qobject_cast<DisplayTextFile*>(widget))
                found.append(text);
        }
        return found;
    };
    const QList<DisplayTextFile*> before = textWindows();
    for (int i = 0; i < times; ++i)
        window.findChild<QAction*>(name)->trigger();
    QList<DisplayTextFile*> added;
    for (DisplayTextFile* text : textWindows()) {
        if (!before.contains(text))
            added.append(text);
    }
    return added;
}

} // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        installAppStyle();
        initAppResources();
    }

    void windowSettings()
    {
        Stitching window;
        QCOMPARE(window.objectName(), QString("Stitching"));
        QCOMPARE(window.windowTitle(), QString("Seamwright"));
        QCOMPARE(window.size(), QSize(1024, 768));
        QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        QVERIFY(!window.windowIcon().isNull());
        for (Qt::WindowType hint : {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
                                    Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
            QVERIFY(window.windowFlags().testFlag(hint));
        QCOMPARE(window.centralWidget()->objectName(), QString("centralWidget"));
        QCOMPARE(QApplication::style()->objectName().toLower(), QString("fusion"));

        window.show();
        window.resize(640, 480);
        QCOMPARE(window.size(), QSize(800, 600));
    }

    void menus_data()
    {
        QTest::addColumn<int>("menuIndex");
        QTest::addColumn<QString>("menuName");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("actionNames");
        QTest::addColumn<QStringList>("actionTexts");
        QTest::addColumn<QStringList>("shortcuts");

        QTest::newRow("Help") << 0 << "menuAbout" << "Help"
                              << QStringList{"actionHelp", "actionAbout", "actionLGPLv3"}
                              << QStringList{"Help", "About", "LGPLv3"} << QStringList{"", "", ""};
        QTest::newRow("Mode") << 1 << "menuMode" << "Mode"
                              << QStringList{"actionDark_Mode", "actionLight_Mode"}
                              << QStringList{"Dark Mode", "Light Mode"} << QStringList{"", ""};
        QTest::newRow("Markers") << 2 << "menuMarkers" << "Markers"
                                 << QStringList{"actionFindMarkers", "actionRefineRightMarkers"}
                                 << QStringList{"Find Markers", "Refine Right Markers"}
                                 << QStringList{"Ctrl+M", "Ctrl+Shift+M"};
    }

    // Laid out right to left, the first menu ("Help") sits at the right-hand end.
    void menus()
    {
        QFETCH(int, menuIndex);
        QFETCH(QString, menuName);
        QFETCH(QString, title);
        QFETCH(QStringList, actionNames);
        QFETCH(QStringList, actionTexts);
        QFETCH(QStringList, shortcuts);

        Stitching window;
        QCOMPARE(window.menuBar()->objectName(), QString("menuBar"));
        QCOMPARE(window.menuBar()->layoutDirection(), Qt::RightToLeft);
        QCOMPARE(window.menuBar()->actions().size(), 3);
        QMenu* menu = window.menuBar()->actions().at(menuIndex)->menu();
        QCOMPARE(menu->objectName(), menuName);
        QCOMPARE(menu->title(), title);
        QStringList names, texts, keys;
        for (QAction* action : menu->actions()) {
            names << action->objectName();
            texts << action->text();
            keys << action->shortcut().toString(QKeySequence::PortableText);
        }
        QCOMPARE(names, actionNames);
        QCOMPARE(texts, actionTexts);
        QCOMPARE(keys, shortcuts);
    }

    void darkPaletteColours_data()
    {
        QTest::addColumn<int>("group");
        QTest::addColumn<int>("role");
        QTest::addColumn<QColor>("colour");

        const auto row = [](const char* name, QPalette::ColorGroup g, QPalette::ColorRole r,
                            QColor c) { QTest::newRow(name) << int(g) << int(r) << c; };
        row("Window", QPalette::Active, QPalette::Window, QColor(37, 37, 37));
        row("Window, inactive", QPalette::Inactive, QPalette::Window, QColor(37, 37, 37));
        row("Base", QPalette::Active, QPalette::Base, QColor(60, 60, 60));
        row("PlaceholderText", QPalette::Active, QPalette::PlaceholderText, QColor(127, 127, 127));
        row("Text", QPalette::Active, QPalette::Text, QColor(212, 212, 212));
        row("Text, disabled", QPalette::Disabled, QPalette::Text, QColor(127, 127, 127));
        row("ButtonText, disabled", QPalette::Disabled, QPalette::ButtonText, QColor(212, 212, 212));
        row("Highlight", QPalette::Active, QPalette::Highlight, QColor(38, 79, 120));
        row("Midlight", QPalette::Active, QPalette::Midlight, QColor(52, 52, 52));
        row("Shadow", QPalette::Active, QPalette::Shadow, QColor(0, 0, 0));
    }

    void darkPaletteColours()
    {
        QFETCH(int, group);
        QFETCH(int, role);
        QFETCH(QColor, colour);

        const auto g = QPalette::ColorGroup(group);
        const auto r = QPalette::ColorRole(role);
        QCOMPARE(QApplication::palette().color(g, r), colour);
        QCOMPARE(QApplication::palette().brush(g, r).style(), Qt::SolidPattern);
        Stitching window;
        QCOMPARE(window.palette().color(g, r), colour);
    }

    void buildStampFormatting_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("stamp");

        QTest::newRow("one-digit day") << "Jun  7 2022" << "10:47:34" << "2022_06_07|10:47:34";
        QTest::newRow("two-digit day") << "Dec 31 1999" << "23:59:59" << "1999_12_31|23:59:59";
        // German month names differ ("Mär", "Mai", "Okt"): the C locale must be used.
        QTest::newRow("March") << "Mar  3 2023" << "00:00:00" << "2023_03_03|00:00:00";
        QTest::newRow("May") << "May 15 2024" << "08:05:09" << "2024_05_15|08:05:09";
        QTest::newRow("October") << "Oct 10 2025" << "18:30:01" << "2025_10_10|18:30:01";
    }

    void buildStampFormatting()
    {
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(QString, stamp);

        const QLocale previous;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const QString result = formatBuildStamp(qPrintable(date), qPrintable(time));
        QLocale::setDefault(previous);
        QCOMPARE(result, stamp);
    }

    void aboutTextAndBuildStamp()
    {
        QVERIFY2(QRegularExpression("^\\d{4}_\\d{2}_\\d{2}\\|\\d{2}:\\d{2}:\\d{2}$")
                     .match(buildStamp).hasMatch(),
                 qPrintable(buildStamp));
        QVERIFY(QDate::fromString(buildStamp.left(10), "yyyy_MM_dd").isValid());
        QCOMPARE(buildYear, buildStamp.left(4));
#if defined(__linux__) && defined(__x86_64__)
        QCOMPARE(platformTag, QString("linux64"));
#elif defined(_WIN64)
        QCOMPARE(platformTag, QString("win64"));
#endif

        const QString text = aboutText();
        QCOMPARE(text.count('\n'), text.count("\r\n"));
        const QStringList lines = text.split("\r\n");
        QVERIFY(lines.size() > 4);
        QCOMPARE(lines[0], "Seamwright (" + platformTag + ", build date " + buildStamp + ").");
        QVERIFY2(lines[1].endsWith(buildStamp.left(4) + "."), qPrintable(lines[1]));
        QCOMPARE(lines[2], QString());
        QVERIFY(text.contains("Help, LGPLv3"));
    }

    void instructions_data()
    {
        QTest::addColumn<QString>("phrase");
        QTest::newRow("memory") << "four times the uncompressed size";
        QTest::newRow("red marker") << "red marker with a left click";
        QTest::newRow("blue marker") << "blue marker in the left image with a right click";
        QTest::newRow("start") << "\"Start Stitching\"";
        QTest::newRow("formats") << "JPEG, TIFF, PNM or PNG";
    }

    void instructions()
    {
        QFETCH(QString, phrase);
        const QString text = instructionsText();
        QVERIFY(text.startsWith("Please note:"));
        QVERIFY2(text.size() > 2000 && text.size() < 2400, qPrintable(QString::number(text.size())));
        QVERIFY2(text.contains(phrase), qPrintable(phrase));
    }

    void textWindows_data()
    {
        QTest::addColumn<QString>("actionName");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("inside");

        QTest::newRow("Help") << "actionHelp" << "Instructions" << "Please note:"
                              << "\"Start Stitching\"";
        QTest::newRow("About") << "actionAbout" << "About" << "Seamwright (" << "LGPLv3";
        // The bracketed address survives only if the licence is shown as plain text.
        QTest::newRow("LGPLv3") << "actionLGPLv3" << "LGPLv3"
                                << "GNU LESSER GENERAL PUBLIC LICENSE" << "<https://fsf.org/>";
    }

    // Each choice opens a further independent window; none blocks the main window.
    void textWindows()
    {
        QFETCH(QString, actionName);
        QFETCH(QString, title);
        QFETCH(QString, start);
        QFETCH(QString, inside);

        Stitching window;
        window.show();
        const QList<DisplayTextFile*> opened = openThrough(window, actionName, 2);
        QCOMPARE(opened.size(), 2);
        QVERIFY(!QApplication::activeModalWidget());
        for (DisplayTextFile* text : opened) {
            QVERIFY(text->isVisible());
            QVERIFY(!text->parentWidget());
            QCOMPARE(text->windowTitle(), title);
            QCOMPARE(text->minimumSize(), QSize(640, 480));
            QCOMPARE(text->maximumSize(), QSize(640, 480));
            QVERIFY(!text->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
            QCOMPARE(text->windowIcon().cacheKey(), window.windowIcon().cacheKey());
            auto* edit = text->findChild<QTextEdit*>();
            QVERIFY(edit->isReadOnly());
            QVERIFY2(edit->toPlainText().trimmed().startsWith(start), qPrintable(start));
            QVERIFY2(edit->toPlainText().contains(inside), qPrintable(inside));
        }
    }

    // A closed text window is freed; the open ones go with the main window, before the
    // application object that they need.
    void textWindowLifetime()
    {
        auto* window = new Stitching;
        const QList<DisplayTextFile*> opened = openThrough(*window, "actionAbout", 3);
        QCOMPARE(opened.size(), 3);
        QPointer<DisplayTextFile> closed = opened[0], open1 = opened[1], open2 = opened[2];
        closed->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(closed.isNull());
        QVERIFY(open1 && open1->isVisible());

        delete window;
        QVERIFY(open1.isNull());
        QVERIFY(open2.isNull());
    }

    void lightModeLeavesNewWindowsDark()
    {
        const QColor dark(37, 37, 37);
        Stitching window;
        window.show();
        window.findChild<QAction*>("actionLight_Mode")->trigger();
        const QColor light = window.style()->standardPalette().color(QPalette::Window);
        QVERIFY(light != dark);
        QCOMPARE(window.centralWidget()->palette().color(QPalette::Window), light);
        QCOMPARE(QApplication::palette().color(QPalette::Window), dark);

        const QList<DisplayTextFile*> opened = openThrough(window, "actionHelp");
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened[0]->palette().color(QPalette::Window), dark);
        QCOMPARE(opened[0]->findChild<QTextEdit*>()->palette().color(QPalette::Base),
                 QColor(60, 60, 60));

        window.findChild<QAction*>("actionDark_Mode")->trigger();
        QCOMPARE(window.palette().color(QPalette::Window), dark);
        QCOMPARE(window.palette().color(QPalette::Disabled, QPalette::Text), QColor(127, 127, 127));
    }

    void buttonBackgrounds_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("background");
        QTest::newRow("light") << "actionLight_Mode" << "background-color: rgba(240, 240, 240, 0); border: none;";
        QTest::newRow("dark") << "actionDark_Mode" << "background-color: rgba(168, 168, 168, 0); border: none;";
    }

    // The five icon buttons are found by name; other buttons keep their own look.
    void buttonBackgrounds()
    {
        QFETCH(QString, mode);
        QFETCH(QString, background);

        Stitching window;
        const QStringList iconButtons = {"btLeftRotCCW", "btLeftRotCW", "btRightRotCCW",
                                         "btRightRotCW", "btSwitch"};
        for (const QString& name : iconButtons + QStringList{"btLoadLeft"})
            (new QPushButton(window.centralWidget()))->setObjectName(name);
        window.findChild<QAction*>(mode)->trigger();
        for (const QString& name : iconButtons) {
            const QString sheet = window.findChild<QPushButton*>(name)->styleSheet();
            QVERIFY2(sheet.startsWith("QPushButton { " + background), qPrintable(sheet));
        }
        QCOMPARE(window.findChild<QPushButton*>("btLoadLeft")->styleSheet(), QString());
    }

    void iconButtonsShowTheGround_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("enabled");
        for (const char* mode : {"actionDark_Mode", "actionLight_Mode"}) {
            QTest::addRow("%s idle", mode) << QString(mode) << false;
            QTest::addRow("%s enabled", mode) << QString(mode) << true;
        }
    }

    // Drawn as on screen, an icon button leaves everything around its icon to the ground it
    // sits on, the window's colour: no face, no frame, in either mode and either state.
    void iconButtonsShowTheGround()
    {
        QFETCH(QString, mode);
        QFETCH(bool, enabled);
        Stitching window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QAction*>(mode)->trigger();
        const QColor windowColour = window.palette().color(QPalette::Window);
        for (const char* name : {"btLeftRotCCW", "btLeftRotCW", "btRightRotCCW", "btRightRotCW", "btSwitch"}) {
            auto* button = window.findChild<QPushButton*>(name);
            button->setEnabled(enabled);
            // The button with a 2-pixel margin; the margin's left middle shows the ground.
            const QRect area(button->mapTo(&window, QPoint(-2, -2)), button->size() + QSize(4, 4));
            const QImage shot = window.grab(area).toImage().convertToFormat(QImage::Format_RGB32);
            QCOMPARE(shot.size(), area.size());
            const QColor ground = shot.pixelColor(0, shot.height() / 2);
            // Fusion tints a group box's inside by a few levels.
            QVERIFY2(std::abs(ground.red() - windowColour.red()) <= 4, qPrintable(ground.name()));
            QRect icon(QPoint(0, 0), button->iconSize() + QSize(2, 2));
            icon.moveCenter(shot.rect().center());
            QVERIFY(shot.width() > icon.width() + 6 && shot.height() > icon.height() + 6);
            for (int y = 0; y < shot.height(); ++y) {
                for (int x = 0; x < shot.width(); ++x) {
                    if (!icon.contains(x, y) && shot.pixelColor(x, y) != ground)
                        QFAIL(qPrintable(QString("%1 at (%2, %3): %4 on %5").arg(name).arg(x).arg(y)
                                             .arg(shot.pixelColor(x, y).name(), ground.name())));
                }
            }
        }
    }

    void icons_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("size");
        for (const char* path : {":/ps.ico", ":/kx_ressources/ICON_rotation_270.png",
                                 ":/kx_ressources/ICON_rotation_90.png",
                                 ":/kx_ressources/ICON_invert.png"}) {
            for (int size : {24, 32})
                QTest::addRow("%s %d", path, size) << QString(path) << size;
        }
    }

    // Each icon is a drawing on a transparent ground: clear corners, opaque strokes.
    void icons()
    {
        QFETCH(QString, path);
        QFETCH(int, size);

        const QPixmap pixmap = QIcon(path).pixmap(size, size);
        QCOMPARE(pixmap.size(), QSize(size, size));
        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(size - 1, size - 1)), 0);
        int opaque = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x)
                opaque += qAlpha(image.pixel(x, y)) == 255;
        }
        QVERIFY2(opaque > size * size / 8, qPrintable(QString::number(opaque)));
    }

    void windowIconHoldsSeveralSizes()
    {
        QImageReader reader(":/ps.ico");
        QList<int> widths;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage image = reader.read();
            QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
            widths.append(image.width());
        }
        for (int width : {16, 24, 32, 48, 256})
            QVERIFY2(widths.contains(width), qPrintable(QString::number(width)));
    }
};

int runAppTests(int argc, char** argv)
{
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
