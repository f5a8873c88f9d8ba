// standin/engine/ThreadKeys.cpp - the thread library's keys (per-thread
// values with a destructor) in morl.dll, on the system's fiber-local
// storage.
//
// The thread library linked into the DLL guards its keys with a lock it
// makes on the first key and never frees: two handles stay behind each time
// the plug-in frees the DLL.  The archive library keeps its zlib streams
// under such a key, and the run-time's thread-local variables use them too.
// The link (CMakeLists.txt, --wrap) sends every key of the DLL here instead;
// the storage is given back when the DLL is unloaded, which also runs the
// destructors of the values threads still hold.

#include <windows.h>

#include <pthread.h>

#include <cerrno>
#include <utility>

namespace {

typedef void (*Destructor)(void*);

const unsigned kMostKeys = 32;

struct Key {
    bool used = false;
    DWORD index = FLS_OUT_OF_INDEXES;
    Destructor destructor = nullptr;
};

SRWLOCK g_lock = SRWLOCK_INIT;
Key g_keys[kMostKeys];

// The storage calls back with the value only: one entry per key.
template <unsigned N>
void WINAPI RunDestructor(void* value) {
    const Destructor destructor = g_keys[N].destructor;
    if (value != nullptr && destructor != nullptr) destructor(value);
}

template <unsigned... N>
constexpr PFLS_CALLBACK_FUNCTION kCallbacks[] = {&RunDestructor<N>...};

template <unsigned... N>
PFLS_CALLBACK_FUNCTION CallbackOf(unsigned key, std::integer_sequence<unsigned, N...>) {
    return kCallbacks<N...>[key];
}

Key* Find(pthread_key_t key) { return key < kMostKeys && g_keys[key].used ? &g_keys[key] : nullptr; }

// Gives the storage back when the DLL is unloaded.
struct Release {
    ~Release() {
        for (Key& key : g_keys) {
            if (key.used) FlsFree(key.index);
            key.used = false;
        }
    }
} g_release;

}  // namespace

extern "C" int __wrap_pthread_key_create(pthread_key_t* key, Destructor destructor) {
    AcquireSRWLockExclusive(&g_lock);
    int result = EAGAIN;
    for (unsigned n = 0; n < kMostKeys; ++n) {
        if (g_keys[n].used) continue;
        g_keys[n].destructor = destructor;
        g_keys[n].index = FlsAlloc(CallbackOf(n, std::make_integer_sequence<unsigned, kMostKeys>()));
        if (g_keys[n].index != FLS_OUT_OF_INDEXES) {
            g_keys[n].used = true;
            *key = n;
            result = 0;
        }
        break;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return result;
}

extern "C" int __wrap_pthread_key_delete(pthread_key_t key) {
    AcquireSRWLockExclusive(&g_lock);
    Key* found = Find(key);
    if (found != nullptr) {
        // A deleted key runs no destructors.
        found->destructor = nullptr;
        FlsFree(found->index);
        found->used = false;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return found != nullptr ? 0 : EINVAL;
}

extern "C" void* __wrap_pthread_getspecific(pthread_key_t key) {
    return key < kMostKeys ? FlsGetValue(g_keys[key].index) : nullptr;
}

extern "C" int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    if (key >= kMostKeys || !FlsSetValue(g_keys[key].index, const_cast<void*>(value))) return EINVAL;
    return 0;
}
