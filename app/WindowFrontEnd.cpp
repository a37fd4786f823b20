#include "WindowFrontEnd.h"

#include "CommandLine.h"

#include <QTimer>

void WindowFrontEnd::open(const CommandLine &options)
{
    // Without options the fields keep the window's own defaults untouched.
    if (options.listenGiven || options.serverGiven)
        m_window.setFieldTexts(options.listenPortText, options.serverHostText, options.serverPortText);
    if (options.clientsGiven)
        m_window.configuration()->setClientsText(options.clientsText);
    m_window.setTlsSettings(options.tls);
    m_window.show();
    // Once shown, so that a file that cannot be read gets its box over the window.
    if (!options.openPath.isEmpty())
        QTimer::singleShot(0, &m_window, [this, path = options.openPath] { m_window.openConversation(path); });
    if (options.start)
        QTimer::singleShot(0, &m_window, &MainWindow::clickStart);
}
