#include "testsupport.h"

namespace TestSupport {

// Windows has no file-size limit a process can set on itself, and Wine none
// either: there is no full disk to offer, and ok() says so. The cases that
// need one are left out of the Windows build's runs (tests/windows).
FileSizeLimit::FileSizeLimit(long long bytes)
{
    Q_UNUSED(bytes);
}

FileSizeLimit::~FileSizeLimit() = default;

} // namespace TestSupport
