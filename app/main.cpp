// textsnap.exe: the tray client. No argument is read; the settings file lies
// beside the executable.
#include "app/startup.h"

int main() { return ts::RunTextSnap(); }
