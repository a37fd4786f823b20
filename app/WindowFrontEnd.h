#ifndef DRAVLIN_WINDOWFRONTEND_H
#define DRAVLIN_WINDOWFRONTEND_H

#include "MainWindow.h"

class CommandLine;

// The program with its window. Options fill the fields as if typed, and
// --start clicks "Ecouter" once the window is up, so a bad value gets the
// same message box that the user's own click would.
class WindowFrontEnd
{
public:
    void open(const CommandLine &options);

    MainWindow *window() { return &m_window; }

private:
    MainWindow m_window;
};

#endif
