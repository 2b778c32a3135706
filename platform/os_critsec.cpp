#include <pthread.h>

#include "platform/os_handle.h"

void os_InitializeCriticalSection(OsCriticalSection *cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void os_EnterCriticalSection(OsCriticalSection *cs) { pthread_mutex_lock(&cs->mutex); }
bool os_TryEnterCriticalSection(OsCriticalSection *cs) { return pthread_mutex_trylock(&cs->mutex) == 0; }
void os_LeaveCriticalSection(OsCriticalSection *cs) { pthread_mutex_unlock(&cs->mutex); }
void os_DeleteCriticalSection(OsCriticalSection *cs) { pthread_mutex_destroy(&cs->mutex); }
