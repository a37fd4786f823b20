#include "WindowFrontEnd.h"

#include "CommandLine.h"

#include <QTimer>

void WindowFrontEnd::open(const CommandLine &options)
{
    // Without options the fields keep the window's own defaults untouched.
    if (options.listenGiven || options.serverGiven)
        m_window.setFieldTexts(options.listenPortText, options.serverHostText, options.serverPortText);
    m_window.show();
    if (options.start)
        QTimer::singleShot(0, &m_window, &MainWindow::clickStart);
}
