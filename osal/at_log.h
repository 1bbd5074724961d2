/* Logging of libat_stubs: the Android log, tag "at", priority 4 (info) for
 * progress and 6 (error) for failures.
 *
 * Both macros keep errno as it was: callers log a result before they look at
 * errno (the reader logs every Serial_Read result first), and a log call may
 * change errno. */
#ifndef AT_LOG_H
#define AT_LOG_H

#include <android/log.h>
#include <errno.h>

#define AT_LOG_TAG "at"

#define AT_LOG_PRIO(prio, ...)                                  \
    do {                                                        \
        int at_log_saved_errno_ = errno;                        \
        __android_log_print((prio), AT_LOG_TAG, __VA_ARGS__);   \
        errno = at_log_saved_errno_;                            \
    } while (0)

#define AT_LOGI(...) AT_LOG_PRIO(ANDROID_LOG_INFO, __VA_ARGS__)
#define AT_LOGE(...) AT_LOG_PRIO(ANDROID_LOG_ERROR, __VA_ARGS__)

#endif /* AT_LOG_H */
