#ifndef DRAVLIN_DIALECTS_H
#define DRAVLIN_DIALECTS_H

#include "Dialect.h"

// The protocols Dravlin reads, one instance each, for the program's life.
class Dialects
{
public:
    // The known ones, in the order a greeting is tried against them.
    static QList<const Dialect *> known();
    static const Dialect &unknown();
    static const Dialect &of(Dialect::Id id);
    // The dialect whose greeting this is, else unknown().
    static const Dialect &greetedBy(QByteArrayView text);
};

#endif
