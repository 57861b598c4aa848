#include "pi_mutex.h"

#include <new>
#include <system_error>

pi_mutex::pi_mutex(bool recursive) {
    pthread_mutexattr_t a;
    if (pthread_mutexattr_init(&a) != 0) throw std::bad_alloc();
    if (recursive) pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
    int r = pthread_mutex_init(&mu_, &a);
    if (r != 0) {
        // Without priority inheritance on this platform the lock still works, only without it.
        pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_NONE);
        r = pthread_mutex_init(&mu_, &a);
    }
    pthread_mutexattr_destroy(&a);
    if (r != 0) throw std::system_error(r, std::generic_category(), "pi_mutex");
}

pi_mutex::~pi_mutex() {
    pthread_mutex_destroy(&mu_);
}

void pi_mutex::lock() {
    int r = pthread_mutex_lock(&mu_);
    if (r != 0) throw std::system_error(r, std::generic_category(), "pi_mutex");
}

bool pi_mutex::try_lock() {
    return pthread_mutex_trylock(&mu_) == 0;
}

void pi_mutex::unlock() {
    pthread_mutex_unlock(&mu_);
}
