#include "platform/platform.h"

#include <pthread.h>

#include <new>

namespace platform {

static_assert(sizeof(pthread_mutex_t) <= 64, "mutex fits the lock storage");

static pthread_mutex_t *Mutex(unsigned char *storage) { return reinterpret_cast<pthread_mutex_t *>(storage); }

TeskLock::TeskLock() {
    // Recursive, as a Windows critical section is.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (m_abStorage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

TeskLock::~TeskLock() { pthread_mutex_destroy(Mutex(m_abStorage)); }
void TeskLock::Enter() { pthread_mutex_lock(Mutex(m_abStorage)); }
void TeskLock::Leave() { pthread_mutex_unlock(Mutex(m_abStorage)); }

}  // namespace platform
