// SPDX-License-Identifier: BSD-2-Clause
#include "base/detached_thread.h"

#include <cerrno>
#include <pthread.h>

bool start_detached_thread(void *(*entry)(void *), void *argument, size_t stack_size)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size > 0)
        pthread_attr_setstacksize(&attributes, stack_size);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, entry, argument);
    pthread_attr_destroy(&attributes);
    errno = error; // pthread_create says why by its result alone
    return error == 0;
}
