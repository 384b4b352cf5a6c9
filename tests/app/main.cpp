// Runs every test class of the application; the exit status is non-zero if any failed.
#include <QApplication>

int runAppTests(int argc, char** argv);
int runMarkerViewTests(int argc, char** argv);
int runWindowTests(int argc, char** argv);
int runShowResultTests(int argc, char** argv);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failed = 0;
    failed += runAppTests(argc, argv);
    failed += runMarkerViewTests(argc, argv);
    failed += runWindowTests(argc, argv);
    failed += runShowResultTests(argc, argv);
    return failed == 0 ? 0 : 1;
}
