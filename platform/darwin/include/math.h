/* The device's <math.h>, as far as the C++ library uses it: classification through the
   compiler's builtins (the device's FP_* numbering), and the functions in their three precisions.
 */
#ifndef VYR_DARWIN_MATH_H
#define VYR_DARWIN_MATH_H

#define FP_NAN 1
#define FP_INFINITE 2
#define FP_ZERO 3
#define FP_NORMAL 4
#define FP_SUBNORMAL 5
#define HUGE_VAL __builtin_huge_val()
#define HUGE_VALF __builtin_huge_valf()
#define HUGE_VALL __builtin_huge_vall()
#define INFINITY __builtin_inff()
#define NAN __builtin_nanf("")

#define fpclassify(x) __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, x)
#define isfinite(x) __builtin_isfinite(x)
#define isinf(x) __builtin_isinf(x)
#define isnan(x) __builtin_isnan(x)
#define isnormal(x) __builtin_isnormal(x)
#define signbit(x) __builtin_signbit(x)
#define isgreater(x, y) __builtin_isgreater(x, y)
#define isgreaterequal(x, y) __builtin_isgreaterequal(x, y)
#define isless(x, y) __builtin_isless(x, y)
#define islessequal(x, y) __builtin_islessequal(x, y)
#define islessgreater(x, y) __builtin_islessgreater(x, y)
#define isunordered(x, y) __builtin_isunordered(x, y)

#ifdef __cplusplus
extern "C" {
#endif
typedef float float_t;
typedef double double_t;

#define VYR_MATH_1(s, T) \
  T acos##s(T);          \
  T acosh##s(T);         \
  T asin##s(T);          \
  T asinh##s(T);         \
  T atan##s(T);          \
  T atanh##s(T);         \
  T cbrt##s(T);          \
  T ceil##s(T);          \
  T cos##s(T);           \
  T cosh##s(T);          \
  T erf##s(T);           \
  T erfc##s(T);          \
  T exp##s(T);           \
  T exp2##s(T);          \
  T expm1##s(T);         \
  T fabs##s(T);          \
  T floor##s(T);         \
  T lgamma##s(T);        \
  T log##s(T);           \
  T log10##s(T);         \
  T log1p##s(T);         \
  T log2##s(T);          \
  T logb##s(T);          \
  T nearbyint##s(T);     \
  T rint##s(T);          \
  T round##s(T);         \
  T sin##s(T);           \
  T sinh##s(T);          \
  T sqrt##s(T);          \
  T tan##s(T);           \
  T tanh##s(T);          \
  T tgamma##s(T);        \
  T trunc##s(T);
#define VYR_MATH_2(s, T) \
  T atan2##s(T, T);      \
  T copysign##s(T, T);   \
  T fdim##s(T, T);       \
  T fmax##s(T, T);       \
  T fmin##s(T, T);       \
  T fmod##s(T, T);       \
  T hypot##s(T, T);      \
  T nextafter##s(T, T);  \
  T pow##s(T, T);        \
  T remainder##s(T, T);
#define VYR_MATH_OTHER(s, T)       \
  T fma##s(T, T, T);               \
  T frexp##s(T, int*);             \
  T ldexp##s(T, int);              \
  T modf##s(T, T*);                \
  T remquo##s(T, T, int*);         \
  T scalbn##s(T, int);             \
  T scalbln##s(T, long);           \
  int ilogb##s(T);                 \
  long lrint##s(T);                \
  long lround##s(T);               \
  long long llrint##s(T);          \
  long long llround##s(T);         \
  T nexttoward##s(T, long double); \
  T nan##s(const char*);
VYR_MATH_1(, double)
VYR_MATH_1(f, float)
VYR_MATH_1(l, long double)
VYR_MATH_2(, double)
VYR_MATH_2(f, float)
VYR_MATH_2(l, long double)
VYR_MATH_OTHER(, double)
VYR_MATH_OTHER(f, float)
VYR_MATH_OTHER(l, long double)
#undef VYR_MATH_1
#undef VYR_MATH_2
#undef VYR_MATH_OTHER
#ifdef __cplusplus
}
#endif

#endif
