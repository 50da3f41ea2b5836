/* Counting allocations: the malloc family and class_createInstance, defined in the executable so
 * that the dynamic linker binds every library's calls to them, each forwarding to the real one.
 * Written in C: C++'s declarations of malloc carry throw() clauses that a definition
 * would have to repeat. */
#define _GNU_SOURCE
#include "alloc_count.h"

#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);

/* Per thread, so that counting costs no atomic operation; initial-exec, so that reading the
 * counter never allocates (malloc may run before the thread's dynamic TLS exists). */
static __thread unsigned long tHeap __attribute__((tls_model("initial-exec")));
static __thread unsigned long tObjects __attribute__((tls_model("initial-exec")));

unsigned long vyr_bench_heap_allocations(void) {
  return tHeap;
}
unsigned long vyr_bench_object_allocations(void) {
  return tObjects;
}

void* malloc(size_t size) {
  ++tHeap;
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  ++tHeap;
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) {
  ++tHeap;
  return __libc_realloc(ptr, size);
}

void free(void* ptr) {
  __libc_free(ptr);
}

void* memalign(size_t alignment, size_t size) {
  ++tHeap;
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  ++tHeap;
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  ++tHeap;
  void* p = __libc_memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t size) {
  ++tHeap;
  return __libc_memalign((size_t)sysconf(_SC_PAGESIZE), size);
}

/* GCC's runtime makes every instance here. Declared without its header (which this file must not
 * see: it declares the same name). */
typedef void* (*CreateInstance)(void* cls, size_t extraBytes);

void* class_createInstance(void* cls, size_t extraBytes) {
  static CreateInstance real;
  CreateInstance fn = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
  if (fn == NULL) {
    /* POSIX's way from dlsym's object pointer to a function pointer. */
    void* symbol = dlsym(RTLD_NEXT, "class_createInstance");
    memcpy(&fn, &symbol, sizeof fn);
    __atomic_store_n(&real, fn, __ATOMIC_RELEASE);
  }
  ++tObjects;
  return fn(cls, extraBytes);
}
