#include "testsupport.h"

#include <csignal>
#include <sys/resource.h>

namespace TestSupport {

FileSizeLimit::FileSizeLimit(long long bytes)
{
    struct rlimit rl;
    getrlimit(RLIMIT_FSIZE, &rl);
    m_soft = static_cast<long long>(rl.rlim_cur);
    m_hard = static_cast<long long>(rl.rlim_max);
    // Without this the kernel ends the process instead of failing the write.
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rl.rlim_cur = rlim_t(bytes);
    m_ok = setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    struct rlimit rl;
    rl.rlim_cur = rlim_t(m_soft);
    rl.rlim_max = rlim_t(m_hard);
    setrlimit(RLIMIT_FSIZE, &rl);
    std::signal(SIGXFSZ, m_oldHandler);
}

} // namespace TestSupport
