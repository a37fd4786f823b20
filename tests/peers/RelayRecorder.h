// A relay under test, with limits short enough for a test, and all it
// reports: each side's rows with whether they crossed inside TLS, every event
// in order. Shared by the relay and TLS suites.
#pragma once

#include "ConversationCapture.h"
#include "EventText.h"
#include "Relay.h"

#include <QTest>

#include <algorithm>
#include <memory>

struct RelayRecorder
{
    explicit RelayRecorder(int silenceMs = 2000, int stallMs = 2000)
    {
        relay.setSilenceLimit(silenceMs);
        relay.setStallLimit(stallMs);
        capture.follow(&relay);
        QObject::connect(&capture, &ConversationCapture::rowsCaptured, &relay,
                         [this](Side side, const LineCapture::Rows &got, qint64, bool encrypted, int) {
                             for (qsizetype i = 0; i < got.count(); ++i) {
                                 rows[side].append(got.row(i).toByteArray());
                                 insideTls[side].append(encrypted);
                             }
                         });
        QObject::connect(&relay, &Relay::eventOccurred, &relay, [this](const RelayEvent &e) { events.append(e); });
    }
    // What the test saw, told when it failed.
    ~RelayRecorder()
    {
        if (QTest::currentTestFailed()) {
            for (const RelayEvent &e : std::as_const(events))
                qInfo().noquote() << EventText::describe(e);
        }
    }

    bool startTo(quint16 serverPort, const RelaySettings::Tls &tls = {})
    {
        relay.start(RelaySettings{0, QStringLiteral("127.0.0.1"), serverPort, tls});
        return relay.isArmed() && listening();
    }
    bool listening() const { return QTest::qWaitFor([this] { return relay.listeningPort() != 0; }, 10000); }
    // One side's rows that crossed the wire in plain text, or inside TLS.
    QList<QByteArray> rowsOf(Side side, bool encrypted) const
    {
        const QList<QByteArray> sideRows = rows.value(side);
        const QList<bool> flags = insideTls.value(side);
        QList<QByteArray> out;
        for (qsizetype i = 0; i < sideRows.size(); ++i) {
            if (flags[i] == encrypted)
                out.append(sideRows[i]);
        }
        return out;
    }
    QList<RelayEvent> all(RelayEvent::Kind kind) const
    {
        QList<RelayEvent> out;
        std::copy_if(events.cbegin(), events.cend(), std::back_inserter(out),
                     [kind](const RelayEvent &e) { return e.kind == kind; });
        return out;
    }
    int count(RelayEvent::Kind kind) const { return int(all(kind).size()); }
    RelayEvent last(RelayEvent::Kind kind) const { return all(kind).value(count(kind) - 1); }
    bool waitFor(RelayEvent::Kind kind, int ms = 10000) const
    {
        return QTest::qWaitFor([this, kind] { return count(kind) > 0; }, ms);
    }

    ConversationCapture capture;
    std::unique_ptr<Relay> owned = std::make_unique<Relay>();
    Relay &relay = *owned;
    QMap<Side, QList<QByteArray>> rows;
    QMap<Side, QList<bool>> insideTls;
    QList<RelayEvent> events;
};
