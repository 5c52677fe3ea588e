#include "recprocess.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

QString pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << args.join(' ').toStdString()
                      << " failed: " << p.readAllStandardError().toStdString();
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

bool soundServerRuns() {
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    return pactl.waitForFinished(10000) && pactl.exitStatus() == QProcess::NormalExit &&
           pactl.exitCode() == 0;
}

bool playToTheEnd(const QString& file) {
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + TestSink, file});
    if (!player.waitForFinished(60000) || player.exitStatus() != QProcess::NormalExit ||
        player.exitCode() != 0) {
        ADD_FAILURE() << "paplay " << file.toStdString()
                      << " failed: " << player.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

ProgramRun::ProgramRun(const QString& program, const QStringList& args,
                       const QProcessEnvironment& env) {
    m_process.setProcessEnvironment(env);
    m_process.start(program, args);
}

bool ProgramRun::waitForError(const QString& text) {
    QElapsedTimer guard;
    guard.start();
    while (!m_stderr.contains(text)) {
        if (guard.elapsed() > 30000 || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(100);
        m_stderr += QString::fromUtf8(m_process.readAllStandardError());
    }
    return true;
}

bool ProgramRun::hasError(const QString& text) {
    m_stderr += QString::fromUtf8(m_process.readAllStandardError());
    return m_stderr.contains(text);
}

int ProgramRun::finish(int guardMs) {
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(guardMs))
        return -1;
    m_stderr += QString::fromUtf8(m_process.readAllStandardError());
    m_stdout += QString::fromUtf8(m_process.readAllStandardOutput());
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void ProgramRun::kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}
