#include "AuthExchange.h"
#include "Conversation.h"

#include <QtTest>

// A login's rows decoded, each read in the light of its own session's rows
// before it. A row is given as its side ('C' or 'S'), its session (a digit)
// and its bytes; base64 is written <between angle brackets> and encoded here.
namespace {

QByteArray encoded(QByteArray row)
{
    const qsizetype open = row.indexOf('<'), close = row.lastIndexOf('>');
    if (open < 0 || close < open)
        return row;
    return row.left(open) + row.mid(open + 1, close - open - 1).toBase64() + row.mid(close + 1);
}

} // namespace

class TestAuthExchange : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void loginRowsAreDecodedPasswordApart_data()
    {
        QTest::addColumn<QList<QByteArray>>("rows");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("password");
        using L = QList<QByteArray>;
        const QString none;
        const QStringList alice{QStringLiteral("Utilisateur : alice")};
        const QByteArray plain = QByteArray("\0alice\0s3cret", 13);
        const L login{"C0AUTH LOGIN", "S0334 <Username:>", "C0<alice>", "S0334 <Password:>"};
        QTest::newRow("smtp plain") << L{"C0AUTH PLAIN <" + plain + ">"} << alice << QStringLiteral("s3cret");
        QTest::newRow("plain on behalf") << L{"C0AUTH PLAIN <" + QByteArray("admin\0alice\0pw", 14) + ">"}
                                         << QStringList{alice.first(), QStringLiteral("Au nom de : admin")} << QStringLiteral("pw");
        QTest::newRow("plain, parts missing") << L{"C0AUTH PLAIN <alice>"} << QStringList{QStringLiteral("Décodé : alice")} << none;
        QTest::newRow("plain, not base64") << L{"C0AUTH PLAIN al!ce"} << QStringList() << none;
        QTest::newRow("login, user") << login.first(3) << alice << none;
        QTest::newRow("login, challenge") << login.first(2) << QStringList{QStringLiteral("Défi du serveur : Username:")} << none;
        QTest::newRow("login, password") << login + L{"C0<s3cret>"} << QStringList() << QStringLiteral("s3cret");
        QTest::newRow("control bytes escaped") << L{"C0AUTH LOGIN <\x01\\>"} << QStringList{QStringLiteral("Utilisateur : \\x01\\\\")} << none;
        QTest::newRow("imap plain") << L{"C1a1 AUTHENTICATE PLAIN", "S1+ ", "C1<" + plain + ">"} << alice << QStringLiteral("s3cret");
        QTest::newRow("imap, a literal, no login") << L{"C0a3 APPEND INBOX {4}", "S0+ Ready", "C0<test>"} << QStringList() << none;
        // Another client's challenge, between a login and its answer, is not this one's.
        QTest::newRow("another session's challenge") << L{"C1AUTH LOGIN", "S2334 <Password:>", "C1<s3cret>"} << QStringList() << none;
        QTest::newRow("another session's login") << L{"C2AUTH LOGIN", "S1334 <Password:>", "C1<s3cret>"} << QStringList() << none;
        QTest::newRow("a reply") << L{"C0AUTH LOGIN", "S0535 <failed>"} << QStringList() << none;
    }
    void loginRowsAreDecodedPasswordApart()
    {
        QFETCH(QList<QByteArray>, rows);
        QFETCH(QStringList, fields);
        QFETCH(QString, password);
        Conversation conversation;
        for (const QByteArray &row : rows)
            conversation.appendRows(row.startsWith('C') ? Side::Client : Side::Server,
                                    LineCapture().feed(encoded(row.mid(2)) + "\r\n"), 0, false, row.at(1) - '0');
        const AuthExchange read = AuthExchange::read(conversation, conversation.rowCount() - 1);
        QCOMPARE(read.found, !fields.isEmpty() || !password.isEmpty()); // nothing found, nothing told
        QCOMPARE(read.fields, fields);
        QCOMPARE(read.password, password);
    }
};

QTEST_GUILESS_MAIN(TestAuthExchange)
#include "tst_authexchange.moc"
