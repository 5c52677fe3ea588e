#include "mainform.h"

#include "scheduler/processlauncher.h"
#include "scheduler/scheduler.h"
#include "scheduler/ui/shedule.h"

#include "windowplacement.h"

#include "browser/tagaccess.h"
#include "browser/tagbinding.h"
#include "browser/tagworker.h"
#include "browser/tracktagging.h"
#include "capture/threadfactory.h"
#include "capture/wasapisource.h"
#include "common/clock.h"
#include "common/filename.h"
#include "common/handoff.h"
#include "controls/bmptimedisplay.h"
#include "controls/icebtn.h"
#include "controls/iceslider.h"
#include "controls/icevumeter.h"
#include "controls/skin.h"
#include "controls/spectrumdisplay.h"
#include "controls/trigger.h"
#include "platform/desktop/hotkeys.h"
#include "platform/playback/playbackengine.h"
#include "recorder/journal.h"
#include "recorder/mediaplayers.h"
#include "recorder/trackfollower.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "settings/events.h"
#include "settings/namehistory.h"
#include "settings/settingsfile.h"
#include "writers/audiowriter.h"
#include "writers/codectable.h"
#include "writers/mp3bitrate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <sys/stat.h>

namespace {

const QString SettingsFileName = QStringLiteral("tressic.xml");
constexpr QSize SkinSize(416, 241);

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QColor toColour(Rgb rgb) {
    return QColor(rgb.red, rgb.green, rgb.blue);
}

/// "description|pattern" as a file dialog's filter, "description (pattern)".
QString dialogFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString pattern = parts.at(i + 1);
        pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << QStringLiteral("%1 (%2)").arg(parts.at(i), pattern.trimmed());
    }
    return filters.isEmpty() ? filter : filters.join(QStringLiteral(";;"));
}

/// A text on the skin that paints the piece of skin under itself. A new text then repaints
/// the label alone, not the window behind it: the file size changes many times a second.
class SkinLabel final : public QLabel {
public:
    SkinLabel(const QImage& skin, QRect geometry, QWidget* parent)
        : QLabel(parent), m_skin(skin.copy(geometry)) {
        setGeometry(geometry);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        {
            QPainter painter(this);
            painter.drawImage(0, 0, m_skin);
        }
        QLabel::paintEvent(event);
    }

private:
    QImage m_skin;
};

/// The tray picture of a status: a round lamp in the status colour, with the pause sign for
/// Pause and a ring for Listen....
QIcon trayPicture(QColor lamp, bool ring, bool pauseSign) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal edge = size / 16.0;
        const QRectF body(edge, edge, size - 2 * edge, size - 2 * edge);
        painter.setPen(QPen(QColor(30, 30, 30), edge));
        painter.setBrush(ring ? QColor(40, 40, 40) : lamp);
        painter.drawEllipse(body);
        if (ring) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(lamp);
            painter.drawEllipse(body.adjusted(size / 5.0, size / 5.0, -size / 5.0, -size / 5.0));
        }
        if (pauseSign) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(30, 30, 30));
            const qreal w = size / 7.0;
            const qreal h = size / 2.2;
            const qreal top = (size - h) / 2;
            painter.drawRect(QRectF(size / 2.0 - 1.5 * w, top, w, h));
            painter.drawRect(QRectF(size / 2.0 + 0.5 * w, top, w, h));
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QRegion TMainForm::opaqueRegion(const QImage& picture) {
    QRegion region;
    for (int y = 0; y < picture.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        int x = 0;
        while (x < picture.width()) {
            while (x < picture.width() && qAlpha(line[x]) == 0)
                ++x;
            const int start = x;
            while (x < picture.width() && qAlpha(line[x]) != 0)
                ++x;
            if (x > start)
                region += QRect(start, y, x - start, 1);
        }
    }
    return region;
}

TMainForm::TMainForm(MainFormServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_services(std::move(services)) {
    setWindowTitle(QStringLiteral("Orvanta"));
    setFixedSize(SkinSize);
    m_recorder = std::make_unique<TRecorder>(*this, m_services.clock, m_services.playback);
    if (!m_services.launcher) {
        m_ownLauncher = std::make_unique<SystemProcessLauncher>();
        m_services.launcher = m_ownLauncher.get();
    }
    m_scheduler = std::make_unique<TScheduler>(*m_recorder, m_services.clock, *m_services.launcher);
    m_scheduler->startEnabled = [this] { return Start->isEnable(); };
    m_scheduler->stopEnabled = [this] { return Stop->isEnable(); };
    // Reported from inside the data handler: a modal box there would hold up every captured
    // block until someone dismissed it.
    m_scheduler->reportFailure = [this](const QString& text) {
        showWithoutWaiting(QMessageBox::Critical, text);
    };
    m_recorder->setScheduler(m_scheduler.get());
    buildControls();
    buildMenu();
    tmrvisual.setInterval(VisualInterval * VisualStepsPerFrame);
    connect(&tmrvisual, &QTimer::timeout, this, &TMainForm::tmrvisualTimer);
    connect(&cover, &WindowCoverWatch::coveredChanged, this, &TMainForm::updateVisualTimer);

    HotKeyManager1 = std::make_unique<THotKeyManager>(m_services.hotKeys);
    connect(HotKeyManager1.get(), &THotKeyManager::OnHotKeyPressed, this,
            &TMainForm::HotKeyManager1HotKeyPressed);

    iconlist = {trayPicture(QColor(150, 160, 170), false, false),
                trayPicture(QColor(230, 30, 30), false, false),
                trayPicture(QColor(250, 210, 40), true, false),
                trayPicture(QColor(250, 210, 40), false, true)};
    TrayIcon1 = new QSystemTrayIcon(iconlist[0], this);
    TrayIcon1->setToolTip(QStringLiteral("Orvanta"));
    TrayIcon1->setContextMenu(popupMenu);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Context)
                    TrayIcon1Click();
            });
    // A tray that goes away (its panel ended) must not keep the window out of reach.
    m_trayWatch.setInterval(2000);
    connect(&m_trayWatch, &QTimer::timeout, this, &TMainForm::checkTrayStillThere);
}

TMainForm::~TMainForm() {
    if (m_created && !m_closed)
        FormClose();
    // Left running when the window closed from a nested loop.
    m_source.reset();
    m_threads.reset();
    // FormDestroy: playback ends before the window it reports to.
    m_services.playback.onEnd = nullptr;
    m_services.playback.free();
    // The scheduler window and the recorder refer to the engine, which goes first.
    m_scheduler->setList(nullptr);
    shedule.reset();
    playlist.reset();
    m_recorder->setScheduler(nullptr);
}

TiceBtn* TMainForm::makeButton(const QString& name, QPoint at) {
    auto* button = new TiceBtn(this);
    button->setPic(skin::load(name + QStringLiteral(".png")));
    button->setPicUp(skin::load(name + QStringLiteral("_up.png")));
    button->setPicDown(skin::load(name + QStringLiteral("_down.png")));
    button->move(at);
    return button;
}

QLabel* TMainForm::makeLabel(QRect geometry, Qt::Alignment alignment) {
    QLabel* label = new SkinLabel(m_background, geometry, this);
    label->setAlignment(alignment);
    QFont font(QStringLiteral("tahoma"));
    font.setPointSize(8);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, toColour(TRecorder::TEXTCOLOR));
    label->setPalette(palette);
    // Dragging the window works over the labels too.
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

void TMainForm::buildControls() {
    // The see-through colour becomes real transparency: a mask where windows have shapes,
    // and alpha for compositors that take it instead.
    const QImage picture = skin::load(QStringLiteral("background.png"));
    m_background = picture.convertToFormat(QImage::Format_ARGB32);
    const QRgb transparent = skin::transparentColour().rgb();
    for (int y = 0; y < m_background.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(m_background.scanLine(y));
        for (int x = 0; x < m_background.width(); ++x)
            if ((line[x] | 0xff000000u) == transparent)
                line[x] = 0;
    }
    const QString platform = QGuiApplication::platformName();
    if (!picture.isNull() && platform != QLatin1String("offscreen") &&
        platform != QLatin1String("minimal"))
        setMask(opaqueRegion(m_background));
    if (onWayland())
        setAttribute(Qt::WA_TranslucentBackground);

    spc = new TSpectrumDisplay(this);
    spc->setGeometry(16, 42, 127, 38);
    spc->setbackcolor(skin::backColour());
    spc->setforecolor(skin::foreColour());
    spc->setbackground(skin::load(QStringLiteral("spectrum_back.png")));
    spc->setslider(skin::load(QStringLiteral("spectrum_bar.png")));
    connect(spc, &TSpectrumDisplay::OnClick, this, &TMainForm::spcClick);

    timebox = new Tbmptimedisplay(this);
    timebox->move(160, 50);
    timebox->setFontWidth(14);
    timebox->setFontHeight(19);
    timebox->setFontBitmap(skin::load(QStringLiteral("digits.png")));
    timebox->setText(QStringLiteral("00:00:00"));

    dvox = new TTrigger(this);
    dvox->move(160, 76);
    dvox->setHint(QStringLiteral("VOX"));
    dvox->setUncheckedGlyph(skin::load(QStringLiteral("vox_off.png")));
    dvox->setCheckedGlyph(skin::load(QStringLiteral("vox_on.png")));
    dtimer = new TTrigger(this);
    dtimer->move(198, 76);
    dtimer->setHint(QStringLiteral("Timer"));
    dtimer->setUncheckedGlyph(skin::load(QStringLiteral("timer_off.png")));
    dtimer->setCheckedGlyph(skin::load(QStringLiteral("timer_on.png")));

    dformat = makeLabel(QRect(258, 48, 36, 16), Qt::AlignRight | Qt::AlignVCenter);
    dbitrate = makeLabel(QRect(258, 64, 36, 16), Qt::AlignRight | Qt::AlignVCenter);

    VUmeter = new iceVUmeter(this);
    VUmeter->setGeometry(300, 40, 28, 61);

    volumemain = new TIceSlider(this);
    volumemain->setHorizontal(false);
    volumemain->move(364, 38);
    volumemain->setImageRuler(skin::load(QStringLiteral("slider_ruler_v.png")));
    volumemain->setImageThumb(skin::load(QStringLiteral("slider_thumb_v.png")));
    volumemain->setMaximum(100);
    volumemain->setToolTip(QStringLiteral("Level"));
    connect(volumemain, &TIceSlider::OnChanged, this, &TMainForm::volumemainChange);

    Slider = new TIceSlider(this);
    Slider->move(33, 122);
    Slider->setImageRuler(skin::load(QStringLiteral("slider_ruler_h.png")));
    Slider->setImageThumb(skin::load(QStringLiteral("slider_thumb_h.png")));
    Slider->setMaximum(100);
    Slider->setToolTip(QStringLiteral("Position"));
    connect(Slider, &TIceSlider::OnChanged, this, &TMainForm::SliderChanged);

    // The transport buttons, then the tool buttons after a gap.
    int x = 16;
    const auto next = [&x](TiceBtn* button, bool large) { x += button->width() + (large ? 6 : 8); };
    Start = makeButton(QStringLiteral("start"), QPoint(x, 160));
    Start->setToolTip(QStringLiteral("Start recording (Ctrl+Alt+R)"));
    next(Start, true);
    Stop = makeButton(QStringLiteral("stop"), QPoint(x, 160));
    Stop->setToolTip(QStringLiteral("Stop (Ctrl+Alt+S)"));
    next(Stop, true);
    pause = makeButton(QStringLiteral("pause"), QPoint(x, 160));
    pause->setToolTip(QStringLiteral("Pause (Ctrl+Alt+U)"));
    next(pause, true);
    PlayButton = makeButton(QStringLiteral("play"), QPoint(x, 160));
    PlayButton->setToolTip(QStringLiteral("Play (Ctrl+Alt+P)"));
    next(PlayButton, true);
    x += 24;
    folderbutton = makeButton(QStringLiteral("folder"), QPoint(x, 164));
    folderbutton->setToolTip(QStringLiteral("Recording browser (Ctrl+Alt+F)"));
    next(folderbutton, false);
    schedbutton = makeButton(QStringLiteral("scheduler"), QPoint(x, 164));
    schedbutton->setToolTip(QStringLiteral("Scheduler"));
    next(schedbutton, false);
    setbutton = makeButton(QStringLiteral("settings"), QPoint(x, 164));
    setbutton->setToolTip(QStringLiteral("Settings (Ctrl+Alt+O)"));
    next(setbutton, false);
    helpbutton = makeButton(QStringLiteral("help"), QPoint(x, 164));
    helpbutton->setToolTip(QStringLiteral("Help (Ctrl+Alt+H)"));
    minbutton = makeButton(QStringLiteral("minimise"), QPoint(370, 9));
    minbutton->setToolTip(QStringLiteral("Minimise"));
    exitbutton = makeButton(QStringLiteral("exit"), QPoint(390, 9));
    exitbutton->setToolTip(QStringLiteral("Exit"));

    connect(Start, &TiceBtn::OnClick, this, [this] { m_recorder->StartClick(); });
    connect(Stop, &TiceBtn::OnClick, this, [this] { m_recorder->StopClick(); });
    connect(pause, &TiceBtn::OnClick, this, [this] { m_recorder->pauseClick(); });
    connect(PlayButton, &TiceBtn::OnClick, this, &TMainForm::PlayButtonClick);
    connect(helpbutton, &TiceBtn::OnClick, this, &TMainForm::HelpClick);
    connect(minbutton, &TiceBtn::OnClick, this, &TMainForm::minbuttonClick);
    connect(exitbutton, &TiceBtn::OnClick, this, &TMainForm::ExitButtonClick);
    connect(setbutton, &TiceBtn::OnClick, this, &TMainForm::setbuttonClick);
    connect(schedbutton, &TiceBtn::OnClick, this, &TMainForm::schedbuttonClick);
    connect(folderbutton, &TiceBtn::OnClick, this, &TMainForm::folderbuttonClick);

    fname = makeLabel(QRect(16, 206, 384, 14));
    fstatus = makeLabel(QRect(16, 222, 110, 14));
    ffile = makeLabel(QRect(130, 222, 270, 14), Qt::AlignRight | Qt::AlignVCenter);

    // Screen readers read the buttons by their tooltips; these have none or a short one.
    spc->setAccessibleName(QStringLiteral("Spectrum display"));
    volumemain->setAccessibleName(QStringLiteral("Recording level"));
    Slider->setAccessibleName(QStringLiteral("Playback position"));
    // Tab goes left to right, top to bottom; the window opens with the focus on Start.
    const std::array<QWidget*, 12> tabOrder = {minbutton,    exitbutton,  volumemain, Slider,
                                               Start,        Stop,        pause,      PlayButton,
                                               folderbutton, schedbutton, setbutton,  helpbutton};
    for (size_t i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    Start->setFocus();
}

void TMainForm::buildMenu() {
    popupMenu = new QMenu(this);
    const auto add = [this](const QString& text, bool available, auto handler) {
        QAction* action = popupMenu->addAction(text);
        action->setEnabled(available);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    add(QStringLiteral("Settings..."), true, [this] { setbuttonClick(); });
    add(QStringLiteral("Scheduler..."), true, [this] { schedbuttonClick(); });
    add(QStringLiteral("Recording browser..."), true, [this] { folderbuttonClick(); });
    add(QStringLiteral("Check for updates"), static_cast<bool>(m_services.updateCheck),
        [this] { checkForUpdates(); });
    add(QStringLiteral("Help"), true, [this] { HelpClick(); });
    popupMenu->addSeparator();
    add(QStringLiteral("Exit"), true, [this] { ExitButtonClick(); });
}

bool TMainForm::FormCreate() {
    // Recorder defaults.
    m_recorder->voxcounter = false;
    m_recorder->currentevent = -1;
    m_recorder->lastfile.clear();
    m_recorder->workmode = 1;
    namehistory.clear();

    // The settings, events and naming rules. Their dates are read in a fixed "dd-mm-yy"
    // form, whatever the user's locale.
    TConfig record;
    loadconfig(SettingsFileName, record);
    config = record;
    loadevents(settingsFolder() + QStringLiteral("events.xml"));
    loadnames(settingsFolder() + QStringLiteral("names.xml"));
    repairInterruptedRecordings();

    m_threads = std::make_unique<AudioThreadFactory>(m_services.handoff, m_services.engine);
    m_source =
        std::make_unique<TWASAPISource>(m_services.handoff, m_threads.get(), m_services.clock);
    m_source->setAudioEngine(&m_services.engine);
    m_source->propagate();
    if (m_source->cards.Count() == 0) {
        messages().show(QStringLiteral("Can not find any active sound cards.\nPlease check that "
                                       "the sound server (PulseAudio or PipeWire) is running "
                                       "and an output device is enabled in the system's sound "
                                       "settings"),
                        QStringLiteral("Sound card enumeration error!"), MessageIcon::Information,
                        MessageButtons::Ok);
        m_source.reset();
        m_threads.reset();
        return false;
    }

    playbuffer = std::make_unique<uint8_t[]>(PlayBufferSize);
    m_recorder->setCaptureSource(m_source.get());
    m_source->OnData = [this](TWASAPISource* sender, const void* data, int32_t size) {
        m_recorder->event(sender, data, size);
    };
    m_source->OnDeviceChange = [this](TWASAPISource*, const QString& name) {
        m_recorder->ShowDeviceChange(name);
    };
    // The recording has been closed already. The program carries on by itself once the
    // server is back, so the status line tells, not a box that would wait for an answer.
    m_source->OnServerLost = [this](TWASAPISource*, const QString& report) {
        // A capture that starts again when the server is back tells anew whether it waits.
        m_recorder->ShowApplicationWaiting(QString());
        // Short enough for the status field; the whole report is its tool tip.
        showStatus(QStringLiteral("No sound server"), TRecorder::TEXTRED, 0);
        fstatus->setToolTip(report);
        std::fprintf(stderr, "orvanta: %s\n", qUtf8Printable(report));
        std::fflush(stderr);
    };
    m_source->OnApplicationWaiting = [this](TWASAPISource*, const QString& app, bool waiting) {
        m_recorder->ShowApplicationWaiting(waiting ? app : QString());
    };
    m_source->OnServerBack = [this](TWASAPISource*, const QString& name) {
        m_recorder->ShowStatus(m_recorder->internalstatus);
        fstatus->setToolTip(QString());
        std::fprintf(stderr, "orvanta: The sound server is back; capturing %s again.\n",
                     qUtf8Printable(name));
        std::fflush(stderr);
    };
    placeAtStart();
    m_recorder->PCM = pcm16Stereo(static_cast<uint32_t>(m_source->defaultrate));
    m_services.playback.onEnd = [this](PlayStream stream) {
        // The engine's thread only posts; the window thread does the rest.
        QMetaObject::invokeMethod(
            this, [this, stream] { playbackEnded(stream); }, Qt::QueuedConnection);
    };
    m_services.playback.init();
    if (!config.hotkeys)
        loadhotkeys();

    m_recorder->paused = false;
    m_recorder->eventactive = false;
    m_recorder->voxarmed = false;
    spc->setvisualmode(config.displaytype);
    m_recorder->writing = false;
    fname->clear();
    ffile->clear();
    m_recorder->ShowStatus(0);
    timebox->setText(QStringLiteral("00:00:00"));
    setButtonEnabled(RecorderButton::Start, true);
    setButtonEnabled(RecorderButton::Stop, false);
    setButtonEnabled(RecorderButton::Pause, false);
    setButtonEnabled(RecorderButton::PlayButton, true);
    setButtonEnabled(RecorderButton::FolderButton, true);

    m_cmanager = std::make_unique<Tcmanager>(*m_source, m_recorder->PCM, *this, this);
    m_cmanager->playingApplications = [this] {
        std::vector<audio::PlayingApplication> apps;
        audio::listPlayingApplications(m_services.engine, &apps);
        return apps;
    };
    m_cmanager->FormCreate();
    followMediaPlayers();

    showinfo();
    volumemain->setPosition(config.mixervolume);
    m_source->setvolume(volumemain->Position());
    ffile->setVisible(config.codec != 3);
    m_created = true;
    if (config.checkupdates && m_services.silentUpdateCheck)
        m_services.silentUpdateCheck();
    meterticks = 3;
    setWindowTitle(QStringLiteral("Orvanta"));
    return true;
}

void TMainForm::showWithoutWaiting(QMessageBox::Icon icon, const QString& text) {
    auto* box = new QMessageBox(icon, QStringLiteral("Orvanta"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void TMainForm::followMediaPlayers() {
    // Without a session bus the watcher simply waits; nothing is said.
    m_players = std::make_unique<MediaPlayerWatcher>();
    m_cmanager->mediaPlayers = [this] { return m_players->players(); };
    m_trackFollower = std::make_unique<TrackFollower>(
        *m_recorder, *m_players,
        [this](const QString& path, const TrackInfo& track, QString* error) {
            // The tag library is called from one thread only: the browser's, when it exists.
            if (playlist)
                return playlist->tagWorker().call([&](const TagAccess&) {
                    return tagTrackFile(playlist->tagWorker().binding(), path, track, error);
                });
            const TagBinding binding;
            return tagTrackFile(binding, path, track, error);
        });
    m_trackFollower->captureDelayMs = [this] {
        return m_source ? m_source->outputLatencyMs() : 0.0;
    };
    // Said without holding up the captured blocks: the file is closed inside their handler.
    m_trackFollower->tagFailed = [this](const QString& text) {
        showWithoutWaiting(QMessageBox::Warning, text);
    };
}

void TMainForm::repairInterruptedRecordings() {
    // Files that an earlier run (of this program or of orvanta-rec) left unfinished - a
    // crash, a kill, a power cut - are made whole before anything records again.
    m_journal = std::make_unique<RecordingJournal>();
    m_recorder->setJournal(m_journal.get());
    QStringList repaired;
    QStringList failed;
    for (const RecordingJournal::Abandoned& item : m_journal->repairAbandoned()) {
        if (item.outcome == RepairOutcome::Repaired)
            repaired << item.recording;
        else if (item.firstFailure())
            failed << QStringLiteral("%1\n(%2)").arg(item.recording, item.detail);
    }
    if (repaired.isEmpty() && failed.isEmpty())
        return;
    QStringList parts;
    if (!repaired.isEmpty())
        parts << QStringLiteral("Orvanta was interrupted while recording. These recordings were "
                                "repaired and can be played:\n\n") +
                     repaired.join(QLatin1Char('\n'));
    if (!failed.isEmpty())
        parts << QStringLiteral("These interrupted recordings could not be repaired now. Orvanta "
                                "will try again at its next start:\n\n") +
                     failed.join(QLatin1Char('\n'));
    messages().show(parts.join(QStringLiteral("\n\n")), QStringLiteral("Orvanta"),
                    failed.isEmpty() ? MessageIcon::Information : MessageIcon::Warning,
                    MessageButtons::Ok);
}

void TMainForm::showAfterStart() {
    if (config.minstartup)
        minimiseApplication();
    else
        show();
}

void TMainForm::placeAtStart() {
    // A Wayland client cannot place its window; the compositor does.
    if (onWayland())
        return;
    QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    std::vector<QRect> screens;
    for (QScreen* screen : QGuiApplication::screens())
        screens.push_back(screen->availableGeometry());
    const WindowPlacement placement = initialWindowPosition(config.posx, config.posy, size(),
                                                            primary->availableGeometry(), screens);
    config.posx = placement.posx;
    config.posy = placement.posy;
    move(placement.position);
}

bool TMainForm::FormCloseQuery() {
    if (m_recorder->writing || m_recorder->voxarmed) {
        if (config.askconfirmation && !m_skipQuestion &&
            messages().show(QStringLiteral("Do you want to stop recording and exit?"),
                            QStringLiteral("Orvanta"), MessageIcon::Information,
                            MessageButtons::YesNo) != MessageResult::Yes)
            return false;
        // The question's own event loop may have seen the recording end meanwhile.
        finishRecordingForExit();
    }
    return true;
}

void TMainForm::finishRecordingForExit() {
    // No message box on the way out: a log-out or a signal has nobody to answer it, and the
    // program would not end. The failure still goes where it can be read.
    const QString failure = m_recorder->closeForExit();
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "orvanta: %s\n", qUtf8Printable(failure));
        std::fflush(stderr);
    }
}

bool TMainForm::captureInUseBelow() const {
    // A worker's step lower on the stack (a box shown by the data handler or by the capture
    // thread's report) keeps that worker waiting for it: waiting for the worker here would
    // never end. Any other nested loop may belong to a caller that still uses the source,
    // such as the settings dialog.
    return m_services.handoff.inWorkerStep() || QThread::currentThread()->loopLevel() > 1;
}

void TMainForm::releaseCapture() {
    if (!m_source)
        return;
    // No block delivered while capture winds down may reach the recorder, and no file may
    // stay open: a file opened now would never be finished.
    m_source->OnData = nullptr;
    m_source->OnDeviceChange = nullptr;
    m_source->OnApplicationWaiting = nullptr;
    m_source->OnServerLost = nullptr; // no capture starts again
    m_source->OnServerBack = nullptr;
    if (m_recorder->rec)
        finishRecordingForExit();
    // A handler the quit came into (through a box it showed) runs on once the box returns:
    // it must neither listen for the next loud block nor start a scheduled recording.
    m_recorder->writing = false;
    m_recorder->voxarmed = false;
    setButtonEnabled(RecorderButton::Start, false);
    m_recorder->setCaptureSource(nullptr);
    // A quit signal can arrive while the dialog runs a nested event loop of its own (the
    // folder chooser, the naming rules window): deleting it now, or later from inside that
    // loop, would pull it from under the loop's caller. It goes with the window, once every
    // loop has returned.
    if (m_cmanager)
        m_cmanager->hide();
    // Then the capture threads go with the window too, once the stack has unwound.
    if (captureInUseBelow())
        return;
    m_source.reset();
    m_threads.reset();
}

void TMainForm::FormClose() {
    if (m_closed)
        return;
    m_closed = true;
    tmrvisual.stop();
    m_trayWatch.stop();
    TrayIcon1->hide();
    m_inTray = false;
    if (!onWayland()) {
        config.posx = x();
        config.posy = y();
    }
    if (shedule)
        config.schedulercolumns = shedule->columnWidths();
    saveconfig(SettingsFileName, config);
    releaseCapture();
    // Like the settings dialog, it may be inside a nested event loop of its own (the event
    // editor) when a quit signal arrives, so it is only hidden here.
    if (shedule)
        shedule->hide();
    if (playlist)
        playlist->hide();
    playbuffer.reset();
    namehistory.clear();
}

void TMainForm::closeWithoutQuestion() {
    m_skipQuestion = true;
    close();
    m_skipQuestion = false;
}

bool TMainForm::sessionEnding() {
    if (!m_created || m_closed)
        return true;
    close();
    return m_closed;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!m_created || m_closed) {
        event->accept();
        return;
    }
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    emit closed();
}

// --- Monitoring and playback ----------------------------------------------------------

QString TMainForm::recorderTimeText(TDateTime elapsed) {
    // Only the time of day of the difference counts, as a clock would show it.
    constexpr int64_t Day = 86400000;
    const auto ms = static_cast<int64_t>(std::llround(std::fabs(elapsed) * Day)) % Day;
    const int64_t seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString TMainForm::playerTimeText(int64_t seconds) {
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void TMainForm::tmrvisualTimer() {
    TRecorder& r = *m_recorder;
    const void* block = nullptr;
    int blockSize = 0;
    int rate = 44100;
    int channels = 2;
    if (r.workmode == 2) {
        PlaybackEngine& playback = m_services.playback;
        if (!r.paused) {
            if (playback.state(r.playstream) != PlaybackState::Stopped) {
                const int64_t length = playback.length(r.playstream);
                const int64_t position = playback.position(r.playstream);
                if (length > 0)
                    Slider->setPosition(static_cast<int>(static_cast<double>(position * 100) /
                                                         static_cast<double>(length)));
                const auto seconds =
                    static_cast<int64_t>(playback.bytesToSeconds(r.playstream, position));
                if (seconds >= 0)
                    timebox->setText(playerTimeText(seconds));
            }
            blockSize = playback.data(r.playstream, playbuffer.get(), 2048);
            block = playbuffer.get();
            const PlaybackInfo info = playback.info(r.playstream);
            rate = info.sampleRate;
            channels = info.channels;
        }
    } else {
        if (r.writing && !r.paused) {
            const TDateTime now = m_services.clock.now();
            // Formatted once a second, not once a frame; the clock ignores equal text.
            const int64_t second = std::llround(std::fabs(now - r.filestart) * 86400000) / 1000;
            if (second != m_timeTextSecond || m_timeText.isEmpty()) {
                m_timeText = recorderTimeText(now - r.filestart);
                m_timeTextSecond = second;
            }
            timebox->setText(m_timeText);
            // A new size every few kilobytes would relayout and repaint the text ten times
            // a second; four times is as readable and costs far less.
            m_sizeTextPending = true;
            if (!ffile->isHidden() && std::abs(now - m_sizeShownAt) >= SizeTextInterval) {
                ffile->setText(r.recsize);
                m_sizeShownAt = now;
                m_sizeTextPending = false;
            }
        } else if (m_sizeTextPending) {
            // The size reached at Stop or Pause stays on the screen.
            if (!ffile->isHidden())
                ffile->setText(r.recsize);
            m_sizeTextPending = false;
        }
        block = r.rawbuffer.get();
        blockSize = static_cast<int>(r.bsize);
        rate = m_source ? m_source->defaultrate : 44100;
    }
    if (blockSize > 1 && spc->isVisible()) {
        // Bars and peaks fall by the 15 ms step, so each frame runs the steps it covers.
        spc->drawFrame(block, blockSize, VisualInterval, rate, channels, 16, false,
                       VisualStepsPerFrame);
        spc->showChanges();
    }

    // The meter moves every third step (45 ms), in the frame where that step falls.
    meterticks += VisualStepsPerFrame;
    if (meterticks > 2) {
        VUmeter->setleftpos(r.maxl);
        VUmeter->setrightpos(r.maxr);
        VUmeter->setvoxactive(config.vox);
        VUmeter->setvox(config.trashold);
        meterticks %= 3;
    }
}

void TMainForm::updateVisualTimer() {
    // Nothing is drawn while nobody can see it, and the process then stays asleep.
    const bool wanted = m_created && !m_closed && isVisible() && !isMinimized() && !cover.covered();
    if (wanted && !tmrvisual.isActive())
        tmrvisual.start();
    else if (!wanted && tmrvisual.isActive())
        tmrvisual.stop();
}

void TMainForm::showinfo() {
    dvox->setChecked(config.vox || config.splitteron);
    dtimer->setChecked(config.scheduler);
    switch (config.codec) {
    case 0:
        dbitrate->setText(
            QString::number(Mp3BitrateKbps(config.bitrate,
                                           static_cast<int32_t>(m_recorder->PCM.nSamplesPerSec))) +
            QLatin1Char('K'));
        break;
    case 2:
        dbitrate->setText(QStringLiteral("High"));
        break;
    default:
        dbitrate->setText(QStringLiteral("VBR"));
        break;
    }
    dformat->setText(codecExtension(config.codec).toUpper());
}

namespace {
// What is at `path`, asked by its bytes: a name that is not UTF-8 is not found through Qt.
bool lookUp(const QString& path, struct stat* info) {
    return !path.isEmpty() && ::stat(fileNameBytes(path).constData(), info) == 0;
}
bool fileExists(const QString& path) {
    struct stat info {};
    return lookUp(path, &info);
}
} // namespace

void TMainForm::playfile(const QString& filename) {
    struct stat info {};
    if (!lookUp(filename, &info))
        return;
    const bool regular = S_ISREG(info.st_mode);
    TRecorder& r = *m_recorder;
    PlaybackEngine& playback = m_services.playback;
    playback.freeStream(r.playstream);
    r.playstream = 0;
    // Opening a pipe or a device named like a recording would wait for a writer, with the
    // window frozen; only regular files are handed to the player, which checks again.
    QString reason = QStringLiteral("It is not a regular file, so it cannot be a recording.");
    const PlayStream stream = regular ? playback.open(filename) : 0;
    if (stream == 0) {
        if (regular)
            reason = playback.openError();
        r.paused = false;
        // The window is Ready before the box opens: its nested loop serves the buttons and
        // hot keys, and Start must work there.
        showReadyAfterPlaying();
        QString text = QStringLiteral("Could not play \"%1\".").arg(displayFileName(filename));
        if (!reason.isEmpty())
            text += QLatin1Char('\n') + reason;
        messageBox(text, QStringLiteral("Orvanta"), MessageIcon::Information, MessageButtons::Ok);
        return;
    }
    r.paused = false;
    r.filestart = m_services.clock.now();
    setFileLabel(QStringLiteral("File:  ") + displayFileName(QFileInfo(filename).fileName()),
                 displayFileName(filename));
    r.ShowStatus(4);
    setButtonEnabled(RecorderButton::Start, false);
    setButtonEnabled(RecorderButton::Pause, true);
    setButtonEnabled(RecorderButton::Stop, true);
    r.workmode = 2;
    volumemain->setPosition(config.playvolume);
    r.playstream = stream;
    // Heard at the volume the slider shows, not at full volume until the slider moves.
    playback.setVolume(r.playstream, static_cast<float>(volumemain->Position()) / 100.0f);
    playback.play(r.playstream, false);
}

void TMainForm::PlayButtonClick() {
    if (playlist && playlist->isVisible()) {
        playlist->VSTDblClick();
        return;
    }
    // The file dialog's nested loop serves the Play hot key too: one dialog at a time.
    if (m_choosingFile)
        return;
    TRecorder& r = *m_recorder;
    if (!fileExists(r.lastfile)) {
        m_choosingFile = true;
        const QString chosen =
            QFileDialog::getOpenFileName(this, QString(), config.archive,
                                         QStringLiteral("Audio Files (*.mp3 *.wav *.ogg *.flac)"));
        m_choosingFile = false;
        if (!chosen.isEmpty())
            r.lastfile = chosen;
    }
    if (fileExists(r.lastfile))
        playfile(r.lastfile);
}

void TMainForm::playbackEnded(PlayStream stream) {
    TRecorder& r = *m_recorder;
    // Only the end of what plays now: Play pressed again just as a file ended has already
    // replaced the stream that reports here.
    if (stream == 0 || stream != r.playstream || r.workmode != 2)
        return;
    showReadyAfterPlaying();
}

void TMainForm::showReadyAfterPlaying() {
    TRecorder& r = *m_recorder;
    r.workmode = 1;
    volumemain->setPosition(config.mixervolume);
    setButtonEnabled(RecorderButton::Start, true);
    setButtonEnabled(RecorderButton::Pause, false);
    setButtonEnabled(RecorderButton::Stop, false);
    Slider->setPosition(0);
    timebox->setText(QStringLiteral("00:00:00"));
    r.ShowStatus(0);
}

void TMainForm::volumemainChange() {
    TRecorder& r = *m_recorder;
    const int position = volumemain->Position();
    if (r.workmode == 1) {
        if (m_source)
            m_source->setvolume(position);
        config.mixervolume = position;
    } else {
        m_services.playback.setVolume(r.playstream, static_cast<float>(position) / 100.0f);
        config.playvolume = position;
    }
}

void TMainForm::SliderChanged() {
    TRecorder& r = *m_recorder;
    if (r.workmode != 2)
        return;
    const int64_t length = m_services.playback.length(r.playstream);
    m_services.playback.setPosition(r.playstream, int64_t{Slider->Position()} * length / 100);
}

void TMainForm::spcClick() {
    config.displaytype = spc->visualmode();
}

void TMainForm::HelpClick() {
    openhelp(QStringLiteral("help/index.html"), QString());
}

void TMainForm::minbuttonClick() {
    if (playlist)
        playlist->close();
    minimiseApplication();
}

bool TMainForm::trayAvailable() const {
    return m_services.trayAvailable ? m_services.trayAvailable()
                                    : QSystemTrayIcon::isSystemTrayAvailable();
}

void TMainForm::minimiseApplication() {
    if (trayAvailable())
        ApplicationEvents1Minimize();
    else if (!isMinimized() || !isVisible())
        showMinimized();
}

void TMainForm::ApplicationEvents1Minimize() {
    if (m_closed)
        return;
    if (!trayAvailable()) {
        // Never a window the user cannot get back: without a tray it stays on the task bar.
        if (!isMinimized() || !isVisible())
            showMinimized();
        return;
    }
    m_inTray = true;
    hide();
    TrayIcon1->setIcon(iconlist[static_cast<size_t>(m_trayIcon)]);
    TrayIcon1->show();
    m_trayWatch.start();
}

void TMainForm::TrayIcon1Click() {
    m_trayWatch.stop();
    TrayIcon1->hide();
    m_inTray = false;
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::bringToFront() {
    if (m_closed)
        return;
    if (m_inTray) {
        TrayIcon1Click();
        return;
    }
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::checkTrayStillThere() {
    if (m_inTray && !trayAvailable()) {
        m_trayWatch.stop();
        TrayIcon1->hide();
        m_inTray = false;
        showMinimized();
    }
}

void TMainForm::ExitButtonClick() {
    close();
}

void TMainForm::createSchedulerWindow() {
    shedule = std::make_unique<Tshedule>(*m_scheduler, *m_recorder, m_services.clock, this);
    shedule->showinfo = [this] { showinfo(); };
    shedule->FormCreate();
}

void TMainForm::schedbuttonClick() {
    if (!shedule || m_closed)
        return;
    shedule->show();
    shedule->raise();
    shedule->activateWindow();
}

void TMainForm::createBrowserWindow() {
    playlist = std::make_unique<Tplaylist>(*this, nullptr, this);
}

void TMainForm::folderbuttonClick() {
    if (!playlist || m_closed)
        return;
    playlist->showBrowser();
}

void TMainForm::refreshBrowser() {
    if (playlist && playlist->isVisible())
        playlist->FormShow();
}

void TMainForm::StopClick() {
    m_recorder->StopClick();
}

bool TMainForm::playButtonEnabled() const {
    return PlayButton->isEnable();
}

void TMainForm::setLastfile(const QString& file) {
    m_recorder->lastfile = file;
}

int TMainForm::workmode() const {
    return m_recorder->workmode;
}

QString TMainForm::activePlaybackFile() const {
    const PlayStream stream = m_recorder->playstream;
    if (stream == 0 || m_services.playback.state(stream) == PlaybackState::Stopped)
        return QString();
    return m_services.playback.info(stream).file;
}

void TMainForm::stopPlayback() {
    m_services.playback.stop(m_recorder->playstream);
}

void TMainForm::setbuttonClick() {
    if (!m_cmanager || m_closed)
        return;
    // Shown beside the main window, which stays usable.
    m_cmanager->show();
    m_cmanager->raise();
    m_cmanager->activateWindow();
}

void TMainForm::setFileSizeVisible(bool visible) {
    ffile->setVisible(visible);
}

bool TMainForm::canCheckForUpdates() const {
    return static_cast<bool>(m_services.updateCheck);
}

void TMainForm::checkForUpdates() {
    if (m_services.updateCheck)
        m_services.updateCheck();
}

void TMainForm::setStayOnTop(bool onTop) {
    if (testAttribute(Qt::WA_WState_Created) && isVisible()) {
        // Changing the flags of a shown window hides it; show it again where it was,
        // without taking the focus.
        const bool minimised = isMinimized();
        setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        setAttribute(Qt::WA_ShowWithoutActivating);
        minimised ? showMinimized() : show();
        setAttribute(Qt::WA_ShowWithoutActivating, false);
    } else {
        setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    }
}

// --- Global hot keys ---------------------------------------------------------------------

namespace {
// Ctrl (0x4000) + Alt (0x8000) + the letter's key code.
constexpr quint32 ctrlAlt(char letter) {
    return static_cast<quint32>(letter) + 0x4000 + 0x8000;
}
} // namespace

void TMainForm::loadhotkeys() {
    HotKeyStart = HotKeyManager1->AddHotKey(ctrlAlt('R'));
    HotKeyPause = HotKeyManager1->AddHotKey(ctrlAlt('U'));
    HotKeyStop = HotKeyManager1->AddHotKey(ctrlAlt('S'));
    HotKeySettings = HotKeyManager1->AddHotKey(ctrlAlt('O'));
    HotKeyHelp = HotKeyManager1->AddHotKey(ctrlAlt('H'));
    HotKeyFolder = HotKeyManager1->AddHotKey(ctrlAlt('F'));
    HotKeyPlay = HotKeyManager1->AddHotKey(ctrlAlt('P'));
}

void TMainForm::closehotkeys() {
    HotKeyManager1->ClearHotKeys();
    HotKeyStart = HotKeyPause = HotKeyStop = HotKeySettings = HotKeyHelp = HotKeyFolder =
        HotKeyPlay = 0;
}

void TMainForm::HotKeyManager1HotKeyPressed(quint32 /*HotKey*/, quint16 Index) {
    // A key that could not be registered keeps the identifier 0, which no press carries.
    if (Index == 0 || m_closed)
        return;
    TRecorder& r = *m_recorder;
    if (Index == HotKeyStart && Start->isEnable())
        r.StartClick();
    if (Index == HotKeyPause)
        r.pauseClick();
    if (Index == HotKeyStop)
        r.StopClick();
    if (Index == HotKeySettings)
        setbuttonClick();
    if (Index == HotKeyFolder)
        folderbuttonClick();
    if (Index == HotKeyHelp)
        HelpClick();
    // Like Start, Play only where its button is: playing would otherwise take the window
    // into player mode in the middle of a recording.
    if (Index == HotKeyPlay && PlayButton->isEnable())
        PlayButtonClick();
}

// --- The recorder's view --------------------------------------------------------------

void TMainForm::setButtonEnabled(RecorderButton button, bool enabled) {
    TiceBtn* target = nullptr;
    switch (button) {
    case RecorderButton::Start:
        target = Start;
        break;
    case RecorderButton::Stop:
        target = Stop;
        break;
    case RecorderButton::Pause:
        target = pause;
        break;
    case RecorderButton::PlayButton:
        target = PlayButton;
        break;
    case RecorderButton::FolderButton:
        target = folderbutton;
        break;
    }
    target->setEnable(enabled);
}

void TMainForm::showStatus(const QString& text, Rgb colour, int trayIcon) {
    QPalette palette = fstatus->palette();
    palette.setColor(QPalette::WindowText, toColour(colour));
    fstatus->setPalette(palette);
    fstatus->setText(text);
    m_trayIcon = std::clamp(trayIcon, 0, static_cast<int>(iconlist.size()) - 1);
    TrayIcon1->setIcon(iconlist[static_cast<size_t>(m_trayIcon)]);
}

void TMainForm::setFileLabel(const QString& text, const QString& hint) {
    fname->setText(text);
    fname->setToolTip(hint);
}

void TMainForm::setTimeText(const QString& text) {
    timebox->setText(text);
}

void TMainForm::setLevelSlider(int position) {
    volumemain->setPosition(position);
}

void TMainForm::setPositionSlider(int position) {
    Slider->setPosition(position);
}

void TMainForm::resetSpectrum() {
    spc->ResetVisual();
}

QString TMainForm::askSaveFileName(const QString& filter, const QString& defaultExtension,
                                   const QString& initialFolder) {
    QFileDialog dialog(this, QString(), initialFolder, dialogFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(defaultExtension);
    // The recorder asks about overwriting itself.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

MessageResult TMainForm::messageBox(const QString& text, const QString& caption, MessageIcon icon,
                                    MessageButtons buttons) {
    return messages().show(text, caption, icon, buttons);
}

// --- Window ---------------------------------------------------------------------------

void TMainForm::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (testAttribute(Qt::WA_TranslucentBackground))
        painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, m_background);
}

void TMainForm::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (onWayland()) {
        // Only the compositor can move a window there.
        if (windowHandle())
            windowHandle()->startSystemMove();
        return;
    }
    dragging = true;
    dragx = event->position().toPoint();
}

void TMainForm::mouseMoveEvent(QMouseEvent* event) {
    if (dragging)
        moveSnapped(pos() + event->position().toPoint() - dragx);
}

void TMainForm::mouseReleaseEvent(QMouseEvent*) {
    dragging = false;
}

void TMainForm::moveSnapped(QPoint position) {
    const QScreen* where = screen();
    move(where ? snapToWorkArea(position, size(), where->availableGeometry()) : position);
}

void TMainForm::contextMenuEvent(QContextMenuEvent* event) {
    popupMenu->popup(event->globalPos());
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    cover.watch(winId());
    updateVisualTimer();
    if (!m_shownOnce) {
        m_shownOnce = true;
        emit firstShown();
    }
}

void TMainForm::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateVisualTimer();
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    updateVisualTimer();
    // Minimised by the desktop (the task bar, a key of the window manager): into the tray,
    // after the state change has settled.
    if (isMinimized() && isVisible() && !m_inTray && !m_closed && trayAvailable())
        QMetaObject::invokeMethod(this, &TMainForm::ApplicationEvents1Minimize,
                                  Qt::QueuedConnection);
}
