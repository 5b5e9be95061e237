#include "app/MainApp.h"

#include <QApplication>

int MainApp::Run(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrix"));
    return 0;
}
