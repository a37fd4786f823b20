#ifndef DRAVLIN_SIDE_H
#define DRAVLIN_SIDE_H

#include <QMetaType>

// Which peer sent a row: the client facing our listener, or the server we dialled.
enum class Side : quint8 { Client = 0, Server = 1 };

constexpr Side otherSide(Side side)
{
    return side == Side::Client ? Side::Server : Side::Client;
}

constexpr int sideIndex(Side side)
{
    return static_cast<int>(side);
}

Q_DECLARE_METATYPE(Side)

#endif
