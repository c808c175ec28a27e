#include "app/tarvok_config_app.h"

// The one application object, made with the program's other static objects.
app::CTarvokConfigApp theApp;

int main(int argc, char** argv) { return theApp.InitInstance(argc, argv); }
