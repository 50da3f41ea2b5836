/* Heap allocations of the calling thread, counted by the benchmark binary's own malloc family
 * (which every library of the process calls, libobjc, libplist and libstdc++'s operator new
 * included) and by its own class_createInstance (every Objective-C object of the stand-in
 * frameworks). */
#ifndef VYR_BENCH_ALLOC_COUNT_H
#define VYR_BENCH_ALLOC_COUNT_H

#ifdef __cplusplus
extern "C" {
#endif

/* malloc, calloc, realloc and the aligned forms called on this thread so far. */
unsigned long vyr_bench_heap_allocations(void);
/* Objective-C objects made on this thread so far (also counted as heap allocations). */
unsigned long vyr_bench_object_allocations(void);

#ifdef __cplusplus
}
#endif

#endif
