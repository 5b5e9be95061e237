#include "app/MainApp.h"

int main(int argc, char** argv)
{
    return MainApp::Run(argc, argv);
}
