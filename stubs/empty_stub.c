/* One empty function exported under three names. Kept in C, apart from the
 * header, because the three names are declared with different parameter
 * lists and an alias has the type of its target. */
#include "../osal/at_export.h"

void at_stubs_empty(void);
void at_stubs_empty(void) {}

AT_EXPORT void AT_ReportCallAbortInd(void) __attribute__((alias("at_stubs_empty")));
AT_EXPORT void OSSEMAPHORE_ChangeName(void) __attribute__((alias("at_stubs_empty")));
AT_EXPORT void SYS_DeRegisterForMSEvent(void) __attribute__((alias("at_stubs_empty")));
