#include "ReplyClass.h"

#include <QTest>

Q_DECLARE_METATYPE(ReplyClass::Kind)

class TestReplyClass : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void classifiesServerLines_data()
    {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<ReplyClass::Kind>("kind");

        const struct {
            const char *row;
            ReplyClass::Kind kind;
        } cases[] = {
            {"220 mail.example ESMTP", ReplyClass::Positive},
            {"250-PIPELINING", ReplyClass::Positive},
            {"354 Start mail input", ReplyClass::Intermediate},
            {"150 Opening data connection", ReplyClass::Intermediate},
            {"421 Service not available", ReplyClass::TransientNegative},
            {"550-5.1.1 No such user", ReplyClass::PermanentNegative},
            {"2500 too many digits", ReplyClass::None},
            {"25 too few", ReplyClass::None},
            {"650 not a class", ReplyClass::None},
            {"250x", ReplyClass::None},
            {"+OK POP3 ready", ReplyClass::Positive},
            {"-ERR no such message", ReplyClass::PermanentNegative},
            {"+OKAY", ReplyClass::None},
            {"+ ", ReplyClass::Intermediate},
            {"+ Ready for literal", ReplyClass::Intermediate},
            {"a001 ok LOGIN completed", ReplyClass::Positive},
            {"tag.3 NO [TRYCREATE] Mailbox doesn't exist", ReplyClass::TransientNegative},
            {"A004 BAD command unknown", ReplyClass::PermanentNegative},
            {"* OK IMAP4rev1 ready", ReplyClass::None},
            {"A005 OKAY", ReplyClass::None},
            {"A(6 OK", ReplyClass::None},
            {"a]1 OK", ReplyClass::Positive},
            {"\xc3\xa9" "1 OK", ReplyClass::None},
            {"", ReplyClass::None},
            {"\xff\xfe OK", ReplyClass::None},
        };
        for (const auto &c : cases)
            QTest::newRow(c.row) << QByteArray(c.row) << c.kind;
    }

    void classifiesServerLines()
    {
        QFETCH(QByteArray, row);
        QFETCH(ReplyClass::Kind, kind);
        QCOMPARE(ReplyClass::classify(row), kind);
    }
};

QTEST_GUILESS_MAIN(TestReplyClass)
#include "tst_replyclass.moc"
