#ifndef DRAVLIN_DISPLAYPROBE_H
#define DRAVLIN_DISPLAYPROBE_H

#include <QString>

// Whether the window could open. Variables naming a display prove nothing (a
// server gone, a session over ssh without forwarding), and Qt ends the
// program when its display cannot be opened, before anything can be said in
// French: so the display server is asked, by connecting to the socket its
// variables name, without any X or Wayland library.
namespace DisplayProbe {

constexpr int TimeoutMs = 3000;

// True when a display answers, or Qt is told to draw elsewhere
// (QT_QPA_PLATFORM=offscreen, vnc…). Else *why says, in French, what was tried.
bool canOpen(QString *why);

} // namespace DisplayProbe

#endif
