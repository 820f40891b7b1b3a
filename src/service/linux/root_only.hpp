// The one rule for files and directories that root trusts: only root may change them.
#pragma once

#include <sys/stat.h>

namespace zembra::service {

// Owned by root and writable by neither group nor others.
inline bool writable_by_root_only(const struct stat& status) {
    return status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace zembra::service
