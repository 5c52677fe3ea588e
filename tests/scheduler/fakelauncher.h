#pragma once

#include "scheduler/processlauncher.h"
#include "scheduler/scheduler.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

/// Records what the scheduler asks to start and to close instead of doing it. Program ids
/// count up from 500.
class FakeLauncher final : public ProcessLauncher {
public:
    struct Start {
        QString program;
        QStringList arguments;
    };

    /// Records its close requests in the launcher's list.
    class Program final : public StartedProgram {
    public:
        Program(int64_t pid, FakeLauncher& launcher) : m_pid(pid), m_launcher(launcher) {}
        int64_t pid() const override { return m_pid; }
        void close(uint32_t waitMs) override { m_launcher.closes.emplace_back(m_pid, waitMs); }

    private:
        int64_t m_pid;
        FakeLauncher& m_launcher;
    };

    std::unique_ptr<StartedProgram> start(const QString& program, const QStringList& arguments,
                                          QString& error) override {
        starts.push_back({program, arguments});
        if (!failure.isEmpty()) {
            error = failure;
            return nullptr;
        }
        return std::make_unique<Program>(nextPid++, *this);
    }

    std::vector<Start> starts;
    std::vector<std::pair<int64_t, uint32_t>> closes;
    int64_t nextPid = 500;
    QString failure; ///< non-empty: every start fails with this text
};

/// The id of the application the scheduler holds; 0 when none.
inline int64_t heldPid(const TScheduler& scheduler) {
    return scheduler.ProcessInfo ? scheduler.ProcessInfo->pid() : 0;
}
