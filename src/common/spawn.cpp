#include "spawn.h"

#include "common/filename.h"

#include <csignal>
#include <vector>

#include <spawn.h>

extern char** environ;

namespace {

struct SpawnAttributes {
    posix_spawnattr_t attr;
    int status = posix_spawnattr_init(&attr);
    ~SpawnAttributes() {
        if (status == 0)
            posix_spawnattr_destroy(&attr);
    }
};

} // namespace

pid_t spawnInOwnSession(const QString& program, const QStringList& arguments, int* error) {
    const auto failed = [error](int code) {
        if (error)
            *error = code;
        return pid_t{-1};
    };

    std::vector<QByteArray> encoded;
    encoded.reserve(static_cast<size_t>(arguments.size()) + 1);
    encoded.push_back(fileNameBytes(program));
    for (const QString& argument : arguments)
        encoded.push_back(fileNameBytes(argument));
    std::vector<char*> argv;
    argv.reserve(encoded.size() + 1);
    for (QByteArray& item : encoded)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    SpawnAttributes attributes;
    if (attributes.status != 0)
        return failed(attributes.status);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    int status = posix_spawnattr_setsigmask(&attributes.attr, &none);
    if (status == 0)
        status = posix_spawnattr_setsigdefault(&attributes.attr, &all);
    if (status == 0)
        status = posix_spawnattr_setflags(
            &attributes.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    if (status != 0)
        return failed(status);

    // The C library reports a failed exec here, with the child already reaped.
    pid_t pid = -1;
    status = posix_spawnp(&pid, argv[0], nullptr, &attributes.attr, argv.data(), environ);
    if (status != 0)
        return failed(status);
    return pid;
}
