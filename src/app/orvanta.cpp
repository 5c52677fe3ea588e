// The window program.
#include "common/clock.h"
#include "common/handoff.h"
#include "common/version.h"
#include "platform/audio/pulse/pulseengine.h"
#include "platform/desktop/hotkeys.h"
#include "platform/desktop/quitsignals.h"
#include "platform/desktop/singleinstance.h"
#include "platform/playback/pulseoutput.h"
#include "platform/playback/streamengine.h"
#include "recorder/ui/application.h"
#include "recorder/ui/mainform.h"
#include "recorder/ui/widgetmessages.h"
#include "update/updatedeployment.h"
#include "update/versioncheck.h"
#include "writers/codecbinding.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QSessionManager>
#include <QUrl>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // Answered before the application object, which needs a display, and before the
    // single-instance check, which would hand the start to a running window.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("orvanta %s\n", ORVANTA_VERSION);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    QElapsedTimer sinceStart;
    sinceStart.start();
    // The window is small and repainted about twenty times a second while recording. X11
    // shared-memory images cost a completion event per repaint, which wakes two threads;
    // copying the few kilobytes through the socket costs less (measured: 0.5 % of a core).
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    OrvantaApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvanta"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvanta"));
    QApplication::setApplicationVersion(QStringLiteral(ORVANTA_VERSION));
    QApplication::setDesktopFileName(QString::fromLatin1(ApplicationId));

    // One window program per user: a second start brings the first one forward and ends.
    SingleInstance instance;
    if (instance.start() == SingleInstance::Role::Secondary)
        return 0;

    WidgetMessageService messageService;
    setMessageService(&messageService);
    // Before anything records: a missing codec library disables only its format.
    loadCodecLibraries();

    // Outlives the window. Without a configured server it sends nothing, ever.
    const UpdateDeployment deployment = updateDeployment();
    TVersionCheck versionCheck(deployment.productId);
    applyDeployment(versionCheck, deployment);
    versionCheck.openUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    app.onException = [&versionCheck](const QString& text) { versionCheck.reporterror(text); };

    int result = 0;
    {
        WindowThreadHandoff handoff;
        // None on Wayland: there every hot key stays unregistered, silently.
        const std::unique_ptr<HotKeyBackend> hotKeys = createHotKeyBackend();
        const std::unique_ptr<audio::AudioEngine> engine = createPulseEngine();
        playback::StreamPlaybackEngine playback(
            std::make_unique<playback::PulseOutputDevice>(QStringLiteral("Orvanta")));
        TMainForm form({.engine = *engine,
                        .playback = playback,
                        .clock = systemClock(),
                        .handoff = handoff,
                        .hotKeys = hotKeys.get(),
                        .silentUpdateCheck =
                            [&versionCheck] {
                                versionCheck.fNoUpdatesDlg = false;
                                versionCheck.Execute();
                            },
                        .updateCheck =
                            [&versionCheck] {
                                versionCheck.fNoUpdatesDlg = true;
                                versionCheck.Execute();
                            },
                        .reportError = [&versionCheck](
                                           const QString& text) { versionCheck.reporterror(text); },
                        .trayAvailable = {}});

        QObject::connect(&instance, &SingleInstance::activationRequested, &form,
                         &TMainForm::bringToFront);

        // A signal cannot be answered, so it closes without the question, with the save.
        // Before the window exists (a message box of the start-up may be open) nothing
        // records yet: the start is abandoned.
        bool created = false;
        bool quitBeforeCreated = false;
        QuitSignals quitSignals;
        QObject::connect(&quitSignals, &QuitSignals::quitRequested, &form,
                         [&form, &created, &quitBeforeCreated] {
                             if (created) {
                                 form.closeWithoutQuestion();
                                 return;
                             }
                             quitBeforeCreated = true;
                             QCoreApplication::exit(0);
                         });
        // Log-off and shut-down: the same close, which may ask and may be refused.
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                         [&form](QSessionManager& manager) {
                             if (!form.sessionEnding())
                                 manager.cancel();
                         });

        created = form.FormCreate();
        if (!created || quitBeforeCreated) {
            if (created)
                form.closeWithoutQuestion();
            setMessageService(nullptr);
            unloadCodecLibraries();
            return 0;
        }
        // The other windows follow the main window, hidden until called.
        form.createSchedulerWindow();
        form.createBrowserWindow();
        if (qEnvironmentVariableIntValue("ORVANTA_STARTUP_TRACE") == 1) {
            QObject::connect(&form, &TMainForm::firstShown, &form, [&sinceStart] {
                std::fprintf(stderr, "orvanta: window shown after %lld ms\n",
                             static_cast<long long>(sinceStart.elapsed()));
                std::fflush(stderr);
            });
        }
        // The window may sit in the tray, hidden, while a message box closes: only the
        // window's own close ends the program.
        QApplication::setQuitOnLastWindowClosed(false);
        QObject::connect(&form, &TMainForm::closed, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        form.showAfterStart();
        result = app.exec();
    }
    setMessageService(nullptr);
    unloadCodecLibraries();
    return result;
}
