#include "guarded_fd.h"

#include <sys/select.h>

bool fdFitsSelect(int fd) { return fd >= 0 && fd < FD_SETSIZE; }
