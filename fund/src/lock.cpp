// lock.cpp - the system's recursive lock behind fund::lock::critical_section.

#include "fund/lock.h"

namespace fund {
namespace lock {

#if defined(_WIN32)

critical_section::critical_section() { InitializeCriticalSection(&m_section); }
critical_section::~critical_section() { DeleteCriticalSection(&m_section); }
void critical_section::enter() { EnterCriticalSection(&m_section); }
void critical_section::leave() { LeaveCriticalSection(&m_section); }

#else

critical_section::critical_section() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}
critical_section::~critical_section() { pthread_mutex_destroy(&m_mutex); }
void critical_section::enter() { pthread_mutex_lock(&m_mutex); }
void critical_section::leave() { pthread_mutex_unlock(&m_mutex); }

#endif

}  // namespace lock
}  // namespace fund
