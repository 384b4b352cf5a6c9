// Runs every test class of the file layer; the exit status is non-zero if any failed.
#include <QApplication>

int runPnmTests(int argc, char** argv);
int runLoadingTests(int argc, char** argv);
int runSavingTests(int argc, char** argv);
int runJpegTests(int argc, char** argv);
int runTiffTests(int argc, char** argv);
int runTiffLoadTests(int argc, char** argv);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failed = 0;
    failed += runPnmTests(argc, argv);
    failed += runLoadingTests(argc, argv);
    failed += runSavingTests(argc, argv);
    failed += runJpegTests(argc, argv);
    failed += runTiffTests(argc, argv);
    failed += runTiffLoadTests(argc, argv);
    return failed == 0 ? 0 : 1;
}
