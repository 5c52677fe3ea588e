#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

/// Starts `program` (looked up on PATH when its name has no slash) with `arguments`, executed
/// directly, never through a shell, as a child of this process in a session of its own (a
/// hang-up or Ctrl+C meant for us does not reach it), with default signal dispositions and an
/// empty signal mask whatever this process set up for itself. Returns the child's pid, or -1
/// with `*error` (when given) set to the errno value of the failure, a failed exec included.
/// The program and arguments go out as fileNameBytes() gives them, so a file name that is not
/// UTF-8 reaches the child with its bytes.
/// The caller reaps the child. Any thread.
pid_t spawnInOwnSession(const QString& program, const QStringList& arguments, int* error = nullptr);
