// The tables from other vocabularies to the platform's error codes: C-library
// errno values, for the calls that report through errno on either platform,
// and the pixel engine's refusals.
#include <cerrno>

#include "surface/gdi_objects.h"
#include "surface/platform.h"

namespace platform {

DWORD detail::ErrorFromStatus(veerpic::pixels::Status status) {
    using veerpic::pixels::Status;
    switch (status) {
        case Status::kOk:
            return ERROR_SUCCESS;
        case Status::kInvalidData:
            return ERROR_INVALID_DATA;
        case Status::kOutOfMemory:
            return ERROR_NOT_ENOUGH_MEMORY;
        case Status::kTooLarge:
            return ERROR_NOT_SUPPORTED;
        case Status::kInvalidParameter:
            break;
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD MapErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
#if defined(ETXTBSY)
        case ETXTBSY:
#endif
        case EBUSY:
            return ERROR_BUSY;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENOSPC:
#if defined(EDQUOT)
        case EDQUOT:
#endif
            return ERROR_DISK_FULL;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
#if defined(ELOOP)
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
#endif
        case EIO:
            return ERROR_IO_DEVICE;
        case ENXIO:
        case ENODEV:
            return ERROR_GEN_FAILURE;
        case ESPIPE:
            return ERROR_NEGATIVE_SEEK;
#if defined(ENOTSUP)
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
#endif
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace platform
