/* A probe for JACK programs, loaded with LD_PRELOAD by the tests (never linked into a program):
 * it wraps every process callback that the program registers with jack_set_process_callback and
 * counts, while that callback runs on JACK's process thread, the calls that may block there:
 *   heap:   malloc, calloc, realloc, free, memalign, aligned_alloc, posix_memalign (operator new
 *           and delete come through these);
 *   locks:  pthread_mutex_lock, pthread_rwlock_rdlock / wrlock, pthread_cond_wait / timedwait /
 *           clockwait, sem_wait / timedwait (try-locks and sem_post never block: not counted);
 *   throws: __cxa_throw.
 * When the program ends it appends one line to the file named by TARNET_PROBE_OUT:
 *   <program> cycles=<process cycles seen> heap=<n> locks=<n> throws=<n>
 * The flag that marks the process thread is a thread-local of the initial-exec model, so that
 * reading it inside malloc never allocates. The heap calls go on to glibc's own allocator
 * (__libc_malloc and friends), the rest to the next definition (dlsym RTLD_NEXT, looked up on
 * first use: libraries loaded before the probe may lock before its constructor runs). A check
 * when the probe is loaded makes sure that the counters see calls. */
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

/* The next definition of `name`, looked up once into `slot` (any thread may store it: the same
 * value). */
static void* Next(_Atomic(void*)* slot, const char* name) {
    void* f = atomic_load_explicit(slot, memory_order_relaxed);
    if (f != NULL) return f;
    f = dlsym(RTLD_NEXT, name);
    if (f == NULL) {
        fprintf(stderr, "jack_process_probe: no %s to wrap\n", name);
        abort();
    }
    atomic_store_explicit(slot, f, memory_order_relaxed);
    return f;
}

/* Defines `name` as a call of the next definition that counts into `counter`. */
#define WRAP(counter, ret, name, params, args) \
    ret name params { \
        static _Atomic(void*) next; \
        ret(*f) params = (ret(*) params)Next(&next, #name); \
        COUNT(counter); \
        return f args; \
    }

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

int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback, void* arg) {
    static _Atomic(void*) next;
    int (*f)(jack_client_t*, JackProcessCallback, void*) = Next(&next, "jack_set_process_callback");
    const int n = atomic_fetch_add(&g_registeredCount, 1);
    if (n >= MAX_CALLBACKS) return -1;
    g_registered[n].callback = callback;
    g_registered[n].arg = arg;
    return f(client, &Wrapped, &g_registered[n]);
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

/* ---- locks, waits and throws ---- */

WRAP(g_locks, int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
WRAP(g_locks, int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
WRAP(g_locks, int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
WRAP(g_locks, int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t * m), (c, m))
WRAP(g_locks, int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t * m, const struct timespec * t),
     (c, m, t))
WRAP(g_locks, int, pthread_cond_clockwait,
     (pthread_cond_t * c, pthread_mutex_t * m, clockid_t k, const struct timespec * t), (c, m, k, t))
WRAP(g_locks, int, sem_wait, (sem_t * s), (s))
WRAP(g_locks, int, sem_timedwait, (sem_t * s, const struct timespec * t), (s, t))

void __cxa_throw(void* object, void* type, void (*destroy)(void*)) {
    static _Atomic(void*) next;
    void (*f)(void*, void*, void (*)(void*)) = Next(&next, "__cxa_throw");
    COUNT(g_throws);
    f(object, type, destroy);
    abort(); /* not reached */
}

/* ---- load and end ---- */

static void* g_checkBlock; /* kept reachable, so that the check is not optimised away */

__attribute__((constructor)) static void CheckCounters(void) {
    t_inProcess = 1;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&m);
    pthread_mutex_unlock(&m);
    g_checkBlock = malloc(16);
    t_inProcess = 0;
    free(g_checkBlock);
    if (atomic_load(&g_heap) != 1 || atomic_load(&g_locks) != 1) {
        fprintf(stderr, "jack_process_probe: the counters do not see calls\n");
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
