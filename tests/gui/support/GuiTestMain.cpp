// The main of every GUI test: a private home folder (so nothing touches the user's settings or
// keys), the organisation the program sets at start-up, and one QApplication for all tests.
#include "tests/support/TempHome.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    TempHome home;
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrix"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
