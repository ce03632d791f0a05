/* A probe for JACK programs, loaded with LD_PRELOAD by the tests (never linked into a program):
 * it wraps every process callback that the program registers with jack_set_process_callback and
 * counts, while that callback runs on JACK's process thread, the calls that may block there:
 *   heap:   malloc, calloc, realloc, free, memalign, posix_memalign, aligned_alloc (operator new
 *           and delete come through these);
 *   locks:  pthread_mutex_lock / timedlock / clocklock, pthread_rwlock_rdlock / wrlock,
 *           pthread_cond_wait / timedwait / clockwait, sem_wait / timedwait / clockwait
 *           (try-locks and sem_post never block and are not counted);
 *   throws: __cxa_throw.
 * When the program ends it appends one line to the file named by TARNET_PROBE_OUT:
 *   <program> cycles=<process cycles seen> heap=<n> locks=<n> throws=<n>
 * The flag that marks the process thread is a thread-local of the initial-exec model, so that
 * reading it inside malloc never allocates. The heap calls go on to glibc's own allocator
 * (__libc_malloc and friends), the rest to the next definition (dlsym RTLD_NEXT). A check when
 * the probe is loaded makes sure that the counters see calls. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <jack/jack.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);
extern void* __libc_memalign(size_t, size_t);

static __thread int t_inProcess __attribute__((tls_model("initial-exec")));

static atomic_ulong g_cycles, g_heap, g_locks, g_throws;

#define COUNT(counter) \
    do { \
        if (t_inProcess) atomic_fetch_add(&(counter), 1); \
    } while (0)

/* ---- the process callbacks ---- */

enum { MAX_CALLBACKS = 16 };
struct Registered {
    JackProcessCallback callback;
    void* arg;
};
static struct Registered g_registered[MAX_CALLBACKS];
static atomic_int g_registeredCount;

static int Wrapped(jack_nframes_t frames, void* slot) {
    const struct Registered* r = slot;
    t_inProcess = 1;
    atomic_fetch_add(&g_cycles, 1);
    const int result = r->callback(frames, r->arg);
    t_inProcess = 0;
    return result;
}

typedef int (*SetProcessFn)(jack_client_t*, JackProcessCallback, void*);
static SetProcessFn Next_jack_set_process_callback(void);

int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback, void* arg) {
    const int n = atomic_fetch_add(&g_registeredCount, 1);
    if (n >= MAX_CALLBACKS) return -1;
    g_registered[n].callback = callback;
    g_registered[n].arg = arg;
    return Next_jack_set_process_callback()(client, &Wrapped, &g_registered[n]);
}

/* ---- heap ---- */

void* malloc(size_t n) {
    COUNT(g_heap);
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    COUNT(g_heap);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    COUNT(g_heap);
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p != NULL) COUNT(g_heap);
    __libc_free(p);
}
void* memalign(size_t alignment, size_t n) {
    COUNT(g_heap);
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
    COUNT(g_heap);
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    COUNT(g_heap);
    void* p = __libc_memalign(alignment, n);
    if (p == NULL) return 12; /* ENOMEM */
    *out = p;
    return 0;
}

/* ---- locks and waits ---- */

/* The next definition of `name`, looked up on first use (libraries loaded before the probe may
 * lock before its constructor has run); the same value whichever thread stores it. */
static void* Next(const char* name);
#define NEXT(type, name) \
    static type Next_##name(void) { \
        static _Atomic(type) next; \
        type f = atomic_load_explicit(&next, memory_order_relaxed); \
        if (f == NULL) { \
            f = (type)Next(#name); \
            atomic_store_explicit(&next, f, memory_order_relaxed); \
        } \
        return f; \
    }
typedef int (*MutexFn)(pthread_mutex_t*);
typedef int (*MutexTimedFn)(pthread_mutex_t*, const struct timespec*);
typedef int (*MutexClockFn)(pthread_mutex_t*, clockid_t, const struct timespec*);
typedef int (*RwFn)(pthread_rwlock_t*);
typedef int (*CondFn)(pthread_cond_t*, pthread_mutex_t*);
typedef int (*CondTimedFn)(pthread_cond_t*, pthread_mutex_t*, const struct timespec*);
typedef int (*CondClockFn)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
typedef int (*SemFn)(sem_t*);
typedef int (*SemTimedFn)(sem_t*, const struct timespec*);
typedef int (*SemClockFn)(sem_t*, clockid_t, const struct timespec*);
typedef void (*ThrowFn)(void*, void*, void (*)(void*));
NEXT(SetProcessFn, jack_set_process_callback)
NEXT(MutexFn, pthread_mutex_lock)
NEXT(MutexTimedFn, pthread_mutex_timedlock)
NEXT(MutexClockFn, pthread_mutex_clocklock)
NEXT(RwFn, pthread_rwlock_rdlock)
NEXT(RwFn, pthread_rwlock_wrlock)
NEXT(CondFn, pthread_cond_wait)
NEXT(CondTimedFn, pthread_cond_timedwait)
NEXT(CondClockFn, pthread_cond_clockwait)
NEXT(SemFn, sem_wait)
NEXT(SemTimedFn, sem_timedwait)
NEXT(SemClockFn, sem_clockwait)
NEXT(ThrowFn, __cxa_throw)

int pthread_mutex_lock(pthread_mutex_t* m) {
    COUNT(g_locks);
    return Next_pthread_mutex_lock()(m);
}
int pthread_mutex_timedlock(pthread_mutex_t* m, const struct timespec* t) {
    COUNT(g_locks);
    return Next_pthread_mutex_timedlock()(m, t);
}
int pthread_mutex_clocklock(pthread_mutex_t* m, clockid_t c, const struct timespec* t) {
    COUNT(g_locks);
    return Next_pthread_mutex_clocklock()(m, c, t);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* l) {
    COUNT(g_locks);
    return Next_pthread_rwlock_rdlock()(l);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* l) {
    COUNT(g_locks);
    return Next_pthread_rwlock_wrlock()(l);
}
int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m) {
    COUNT(g_locks);
    return Next_pthread_cond_wait()(c, m);
}
int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, const struct timespec* t) {
    COUNT(g_locks);
    return Next_pthread_cond_timedwait()(c, m, t);
}
int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t k, const struct timespec* t) {
    COUNT(g_locks);
    return Next_pthread_cond_clockwait()(c, m, k, t);
}
int sem_wait(sem_t* s) {
    COUNT(g_locks);
    return Next_sem_wait()(s);
}
int sem_timedwait(sem_t* s, const struct timespec* t) {
    COUNT(g_locks);
    return Next_sem_timedwait()(s, t);
}
int sem_clockwait(sem_t* s, clockid_t c, const struct timespec* t) {
    COUNT(g_locks);
    return Next_sem_clockwait()(s, c, t);
}

/* ---- exceptions ---- */

void __cxa_throw(void* object, void* type, void (*destroy)(void*)) {
    COUNT(g_throws);
    Next___cxa_throw()(object, type, destroy);
    abort(); /* not reached */
}

/* ---- load and end ---- */

static void* Next(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (f == NULL) {
        static const char text[] = "jack_process_probe: a function to wrap is missing\n";
        fwrite(text, 1, sizeof text - 1, stderr);
        abort();
    }
    return f;
}

/* Kept reachable, so that the check below is not optimised away. */
static void* g_checkBlock;

/* The counters must count: one heap call and one lock made as if on the process thread. */
__attribute__((constructor)) static void CheckCounters(void) {
    t_inProcess = 1;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&m);
    pthread_mutex_unlock(&m);
    g_checkBlock = malloc(16);
    t_inProcess = 0;
    free(g_checkBlock);
    if (atomic_load(&g_heap) != 1 || atomic_load(&g_locks) != 1) {
        static const char text[] = "jack_process_probe: the counters do not see calls\n";
        fwrite(text, 1, sizeof text - 1, stderr);
        abort();
    }
    atomic_store(&g_heap, 0);
    atomic_store(&g_locks, 0);
}

__attribute__((destructor)) static void End(void) {
    const char* path = getenv("TARNET_PROBE_OUT");
    if (path == NULL || path[0] == '\0') return;
    char program[256] = "?";
    FILE* comm = fopen("/proc/self/comm", "r");
    if (comm != NULL) {
        if (fgets(program, sizeof program, comm) != NULL) program[strcspn(program, "\n")] = '\0';
        fclose(comm);
    }
    FILE* out = fopen(path, "a");
    if (out == NULL) return;
    fprintf(out, "%s cycles=%lu heap=%lu locks=%lu throws=%lu\n", program, atomic_load(&g_cycles),
            atomic_load(&g_heap), atomic_load(&g_locks), atomic_load(&g_throws));
    fclose(out);
}
