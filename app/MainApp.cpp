#include "app/MainApp.h"

#include "app/MainDialog.h"

#include <QApplication>

int MainApp::Run(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The application name stays the executable's own name: message-box captions and the
    // settings file follow it, so a renamed copy keeps its own jobs.
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrix"));
    MainDialog dialog;
    dialog.DoModal();
    return 0;
}
