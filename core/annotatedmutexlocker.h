#pragma once

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

// QMutexLocker that also tells ThreadSanitizer about the lock. Debian's Qt is not built for
// TSan, so the contended path of QMutex (a futex wait inside QtCore) creates no happens-before
// edge that TSan can see; the annotations supply it. Elsewhere this is a plain QMutexLocker.
class AnnotatedMutexLocker
{
public:
    explicit AnnotatedMutexLocker(QMutex* mutex) : mutex(mutex)
    {
        mutex->lock();
#if defined(__SANITIZE_THREAD__)
        __tsan_acquire(mutex);
#endif
    }
    ~AnnotatedMutexLocker()
    {
#if defined(__SANITIZE_THREAD__)
        __tsan_release(mutex);
#endif
        mutex->unlock();
    }
    AnnotatedMutexLocker(const AnnotatedMutexLocker&) = delete;
    AnnotatedMutexLocker& operator=(const AnnotatedMutexLocker&) = delete;

private:
    QMutex* mutex;
};
