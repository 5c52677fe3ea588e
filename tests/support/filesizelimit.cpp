#include "filesizelimit.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int runWithFileSizeLimit(uint64_t limitBytes, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limitBytes;
        limit.rlim_max = limitBytes;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(100);
        const int rc = body();
        _exit(rc);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
