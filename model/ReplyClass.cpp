#include "ReplyClass.h"

#include "Dialects.h"

ReplyClass::Kind ReplyClass::classify(QByteArrayView row)
{
    // A row alone does not say its protocol: it reads as any of them would.
    switch (Dialects::unknown().answer(row).replyClass) {
    case Answer::Class::Positive:
        return Positive;
    case Answer::Class::Intermediate:
        return Intermediate;
    case Answer::Class::TransientNegative:
        return TransientNegative;
    case Answer::Class::PermanentNegative:
        return PermanentNegative;
    case Answer::Class::None:
        break;
    }
    return None;
}
