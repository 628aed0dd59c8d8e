// textsnap.exe: the tray client. No argument is read; the settings file lies
// beside the executable, or in the user's own folder when that one cannot be
// written.
#include "app/startup.h"

int main() { return ts::RunTextSnap(); }
