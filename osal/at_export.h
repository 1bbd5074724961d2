/* Visibility of libat_stubs. The library is built with hidden visibility by
 * default; only functions marked AT_EXPORT form its ABI. */
#ifndef AT_EXPORT_H
#define AT_EXPORT_H

#if defined(__GNUC__)
#define AT_EXPORT __attribute__((visibility("default")))
#else
#define AT_EXPORT
#endif

#ifdef __cplusplus
#define AT_EXTERN_C_BEGIN extern "C" {
#define AT_EXTERN_C_END }
#else
#define AT_EXTERN_C_BEGIN
#define AT_EXTERN_C_END
#endif

/* A compile-time check in a public header, which C11 and C++ hosts both
 * compile. */
#ifdef __cplusplus
#define AT_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define AT_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif

#endif /* AT_EXPORT_H */
