#pragma once

#include <QByteArray>
#include <QTest>

#include <atomic>
#include <thread>

// A peer on plain blocking sockets, played on its own thread, for what
// QTcpSocket cannot do: end its sending and keep reading, or answer after the
// other side has ended. Every blocking call is bounded by a timeout.
class RawPeer
{
public:
    struct Script
    {
        explicit Script(const QByteArray &words = {}, bool thenHalfClose = false) : say(words), halfClose(thenHalfClose) {}

        QByteArray say;              // sent first
        bool halfClose = false;      // then shutdown(SHUT_WR)
        int receiveBuffer = 0;       // SO_RCVBUF before connecting, 0: the system's
        qsizetype readStep = 0;      // a slow reader: at most this much per read...
        int pauseMs = 0;             // ...then this pause
        bool readOnRelease = false;  // reads nothing until release()
        QByteArray answerAfterEnd;   // sent once the other side has ended, then closed
        bool stayOpen = false;       // after the end of stream, hold the connection until release()
        bool sayWhileReading = false; // send `say` from a thread of its own while reading
    };

    RawPeer();
    ~RawPeer();

    quint16 listenPort() const { return m_listenPort; }
    // Plays the script on the first connection accepted on listenPort().
    void serve(const Script &script);
    // Plays the script on a connection to 127.0.0.1:port.
    void connectTo(quint16 port, const Script &script);
    void release() { m_released = true; }
    bool waitDone(int ms = 10000)
    {
        return QTest::qWaitFor([this] { return m_done.load(); }, ms);
    }

    // Once done: what arrived, and whether it ended with an orderly end of
    // stream (false: a reset or an error).
    QByteArray received;
    bool cleanEnd = false;
    // Of `say`, what the system took before the connection went (sayWhileReading).
    std::atomic<qint64> said{0};

private:
    void play(int fd, const Script &script);

    int m_listenFd = -1;
    quint16 m_listenPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_released{false};
    std::atomic<bool> m_done{false};
};
