// A mutex with priority inheritance: while a real-time thread waits for it, the thread holding it
// runs at the waiter's priority. Every lock that the real-time scheduler takes on its way to a
// play is one of these, so that a normal thread preempted while holding it cannot hold up the
// play for as long as the machine keeps it off a processor.
#pragma once

#include <pthread.h>

class pi_mutex {
   public:
    explicit pi_mutex(bool recursive = false);
    ~pi_mutex();
    pi_mutex(const pi_mutex &) = delete;
    pi_mutex &operator=(const pi_mutex &) = delete;

    void lock();
    bool try_lock();
    void unlock();

   private:
    pthread_mutex_t mu_;
};
