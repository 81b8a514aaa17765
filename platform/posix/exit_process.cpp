// ExitProcess on POSIX: exit(3), so that libraries' exit handlers run as they would on Windows.
#include <cstdlib>

#include "platform/windows_api.h"

void ExitProcess(UINT exit_code)
{
    std::exit(static_cast<int>(exit_code));
}
