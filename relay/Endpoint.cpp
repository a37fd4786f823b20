#include "Endpoint.h"

Endpoint Endpoint::named(const QString &host, quint16 port)
{
    return {QHostAddress(host), port, host};
}
