#ifndef DRAVLIN_OWNERLINK_H
#define DRAVLIN_OWNERLINK_H

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>

#include <utility>

// How a writer's thread tells the object that started it, which may be gone
// by then: calls are posted to the owner while it is there, and run on its
// thread; once let go, nothing more is posted, and what was posted goes with it.
template <typename Owner>
class OwnerLink
{
public:
    void set(Owner *owner)
    {
        const QMutexLocker lock(&m_mutex);
        m_owner = owner;
    }
    // call(owner) later, on the owner's thread, if there is still an owner now.
    template <typename Call>
    void post(Call call)
    {
        const QMutexLocker lock(&m_mutex);
        if (Owner *owner = m_owner)
            QMetaObject::invokeMethod(owner, [owner, call = std::move(call)] { call(owner); }, Qt::QueuedConnection);
    }

private:
    QMutex m_mutex;
    Owner *m_owner = nullptr;
};

#endif
