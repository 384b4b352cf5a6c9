// Runs every test class of the imaging library; the exit status is non-zero if any failed.
#include <QApplication>

int runBigImageTests(int argc, char** argv);
int runSamplingTests(int argc, char** argv);
int runRotationTests(int argc, char** argv);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failed = 0;
    failed += runBigImageTests(argc, argv);
    failed += runSamplingTests(argc, argv);
    failed += runRotationTests(argc, argv);
    return failed == 0 ? 0 : 1;
}
