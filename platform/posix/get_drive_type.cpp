// GetDriveTypeA on POSIX: there are no drive letters, so no root names a drive.
#include "platform/windows_api.h"

UINT GetDriveTypeA(const char *)
{
    return DRIVE_NO_ROOT_DIR;
}
