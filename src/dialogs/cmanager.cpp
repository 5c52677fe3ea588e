#include "cmanager.h"

#include "namingrules.h"

#include "capture/wasapisource.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "writers/mp3bitrate.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr int FlacIndex = 3;
// The split time is stored in seconds as a 32-bit number; more minutes would overflow it.
constexpr int MaxSplitMinutes = (std::numeric_limits<int32_t>::max() - 59) / 60;

QSlider* makeSlider(int minimum, int maximum, int tickInterval, QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(minimum, maximum);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(tickInterval);
    return slider;
}

QLineEdit* makeReadOnlyEdit(QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::NoFocus);
    return edit;
}

// A combo box that asks for its entries just before the user looks at them, so that players
// started after the dialog was created show up.
class RefreshingComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> refresh;

    void showPopup() override {
        if (refresh)
            refresh();
        QComboBox::showPopup();
    }

protected:
    // The arrow keys choose without opening the list. The focus that comes back from the list
    // itself arrives before its choice is taken, which a refill would spoil.
    void focusInEvent(QFocusEvent* event) override {
        if (refresh && event->reason() != Qt::PopupFocusReason)
            refresh();
        QComboBox::focusInEvent(event);
    }
};

const QString MprisPrefix = QStringLiteral("org.mpris.MediaPlayer2.");

// What to show for a player that is not running: its D-Bus name without the common part.
QString shortPlayerName(const QString& busName) {
    if (busName.startsWith(MprisPrefix) && busName.size() > MprisPrefix.size())
        return busName.mid(MprisPrefix.size());
    const qsizetype dot = busName.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && dot + 1 < busName.size() ? busName.mid(dot + 1) : busName;
}

QString bitrateText(int32_t kbps) {
    return QStringLiteral("Bitrate: ~ ") + QString::number(kbps) + QStringLiteral("Kbit");
}

} // namespace

Tcmanager::Tcmanager(TWASAPISource& source, const tWAVEFORMATEX& PCM, SettingsHost& host,
                     QWidget* parent)
    : QDialog(parent), m_source(source), m_PCM(PCM), m_host(host) {
    setWindowTitle(QStringLiteral("Settings"));

    chooseFolder = [this](const QString& caption, const QString& start) {
        return QFileDialog::getExistingDirectory(this, caption, start, QFileDialog::ShowDirsOnly);
    };
    openFolder = [](const QString& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
    showNamingRules = [this] {
        // Whoever ends the program during the window's event loop may delete it with us.
        QPointer<Tnamingrules> window = new Tnamingrules(this);
        window->exec();
        delete window;
    };

    nav = new QTreeWidget(this);
    nav->setHeaderHidden(true);
    nav->setRootIsDecorated(false);
    nav->setItemsExpandable(false);
    nav->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const char* entry : {"General", "Format", "Splitter", "About"})
        nav->addTopLevelItem(new QTreeWidgetItem(QStringList{QString::fromLatin1(entry)}));
    nav->setFixedWidth(nav->fontMetrics().horizontalAdvance(QStringLiteral("Splitter")) * 2 + 24);

    pages = new QStackedWidget(this);
    pages->addWidget(buildGeneralPage());
    pages->addWidget(buildFormatPage());
    pages->addWidget(buildSplitterPage());
    pages->addWidget(buildAboutPage());

    closebutton = new QPushButton(QStringLiteral("&Close"), this);
    closebutton->setDefault(true);

    auto* body = new QHBoxLayout;
    body->addWidget(nav);
    body->addWidget(pages, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(closebutton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body, 1);
    layout->addLayout(buttons);

    nav->setCurrentItem(nav->topLevelItem(0));
    connectHandlers();
}

QWidget* Tcmanager::buildGeneralPage() {
    auto* page = new QWidget;

    auto* sound = new QGroupBox(QStringLiteral(" Sound "), page);
    auto* apps = new RefreshingComboBox(sound);
    apps->refresh = [this] { refreshApplications(); };
    recordfrom = apps;
    recordfrom->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    auto* recordfromLabel = new QLabel(QStringLiteral("&Record from:"), sound);
    recordfromLabel->setBuddy(recordfrom);
    refreshApplications();
    auto* soundLayout = new QHBoxLayout(sound);
    soundLayout->addWidget(recordfromLabel);
    soundLayout->addWidget(recordfrom, 1);

    auto* names = new QGroupBox(QStringLiteral(" File Names "), page);
    autobox = new QCheckBox(QStringLiteral("Enable auto-name system"), names);
    autoconfig = new QPushButton(QStringLiteral("Customize..."), names);
    autoconfig->setEnabled(false);
    auto* namesLayout = new QHBoxLayout(names);
    namesLayout->addWidget(autobox, 1);
    namesLayout->addWidget(autoconfig);

    auto* output = new QGroupBox(QStringLiteral(" Output Folder  "), page);
    destfolder = makeReadOnlyEdit(output);
    BitBtn1 = new QToolButton(output);
    BitBtn1->setIcon(QIcon::fromTheme(QStringLiteral("folder-open"),
                                      style()->standardIcon(QStyle::SP_DirOpenIcon)));
    BitBtn1->setToolTip(QStringLiteral("Browse for Destination Folder..."));
    BitBtn2 = new QToolButton(output);
    BitBtn2->setIcon(QIcon::fromTheme(QStringLiteral("system-file-manager"),
                                      style()->standardIcon(QStyle::SP_DirLinkIcon)));
    BitBtn2->setToolTip(QStringLiteral("Open Destination Folder"));
    auto* outputLayout = new QHBoxLayout(output);
    outputLayout->addWidget(destfolder, 1);
    outputLayout->addWidget(BitBtn1);
    outputLayout->addWidget(BitBtn2);

    auto* special = new QGroupBox(QStringLiteral(" Special  Features  "), page);
    stay = new QCheckBox(QStringLiteral("Always stay on top"), special);
    minimized =
        new QCheckBox(QStringLiteral("Minimize to System Tray on program startup"), special);
    winboot = new QCheckBox(QStringLiteral("Run application on system startup"), special);
    pauserec = new QCheckBox(QStringLiteral("Make pause after enter file name"), special);
    hotkeys = new QCheckBox(QStringLiteral("Disable HotKeys"), special);
    ask = new QCheckBox(QStringLiteral("Ask confirmation on exit"), special);
    autoCheckupdates = new QCheckBox(QStringLiteral("Check for Updates at startup"), special);
    auto* specialLayout = new QVBoxLayout(special);
    for (QCheckBox* box : {stay, minimized, winboot, pauserec, hotkeys, ask, autoCheckupdates})
        specialLayout->addWidget(box);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(names);
    layout->addWidget(output);
    layout->addWidget(special);
    layout->addWidget(sound);
    layout->addStretch(1);
    return page;
}

QWidget* Tcmanager::buildFormatPage() {
    auto* page = new QWidget;

    auto* codecGroup = new QGroupBox(QStringLiteral("  Select audio codec:  "), page);
    codecs = new QComboBox(codecGroup);
    codecs->addItems({QStringLiteral("MPEG Layer3"), QStringLiteral("Ogg Vorbis"),
                      QStringLiteral("WAV"), QStringLiteral("FLAC")});
    auto* codecLayout = new QHBoxLayout(codecGroup);
    codecLayout->addWidget(codecs, 1);

    // One sub-page per codec, in the order of the list.
    Notebook2 = new QStackedWidget(page);
    const auto qualityPage = [this](const QString& title, const QString& caption, QSlider* slider,
                                    QLabel* value) {
        auto* sub = new QWidget;
        auto* group = new QGroupBox(title, sub);
        auto* groupLayout = new QVBoxLayout(group);
        groupLayout->addWidget(new QLabel(caption, group));
        slider->setParent(group);
        groupLayout->addWidget(slider);
        if (value) {
            value->setParent(group);
            groupLayout->addWidget(value);
        }
        auto* subLayout = new QVBoxLayout(sub);
        subLayout->setContentsMargins(0, 0, 0, 0);
        subLayout->addWidget(group);
        subLayout->addStretch(1);
        Notebook2->addWidget(sub);
    };
    bitrate = makeSlider(0, 10, 1, nullptr);
    mp3bitrate = new QLabel;
    qualityPage(QStringLiteral("  MP3 Settings  "), QStringLiteral("Select Output Quality"),
                bitrate, mp3bitrate);
    oggquality = makeSlider(0, 10, 1, nullptr);
    Label15 = new QLabel;
    qualityPage(QStringLiteral("  OGG Settings  "), QStringLiteral("Select Output Quality"),
                oggquality, Label15);
    Notebook2->addWidget(new QWidget); // WAV has no options.
    flaclevel = makeSlider(0, 8, 1, nullptr);
    qualityPage(QStringLiteral("  FLAC Settings  "), QStringLiteral("Compression level:"),
                flaclevel, nullptr);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(codecGroup);
    layout->addWidget(Notebook2, 1);
    return page;
}

QWidget* Tcmanager::buildSplitterPage() {
    auto* page = new QWidget;
    auto* group = new QGroupBox(QStringLiteral("  Splitter Settings  "), page);

    voxbox = new QRadioButton(QStringLiteral("Split tracks by silent pauses"), group);
    splitteron = new QRadioButton(QStringLiteral("Split tracks by time"), group);
    nosplit = new QRadioButton(QStringLiteral("Do not split"), group);
    voxbox->setChecked(true);

    TrashBar = makeSlider(1, 32768, 1500, group);
    threshold1 = makeReadOnlyEdit(group);
    SilenceBar = makeSlider(1, 600, 30, group);
    silenceedit = makeReadOnlyEdit(group);
    const int fieldWidth =
        threshold1->fontMetrics().horizontalAdvance(QStringLiteral("-90 dB0000"));
    threshold1->setFixedWidth(fieldWidth);
    silenceedit->setFixedWidth(fieldWidth);

    timelimit = new QSpinBox(group);
    timelimit->setRange(0, MaxSplitMinutes);
    timelimitsec = new QSpinBox(group);
    timelimitsec->setRange(0, 59);
    voxdelete = new QCheckBox(QStringLiteral("Delete files shorter than (seconds):"), group);
    voxdeletetime = new QSpinBox(group);
    voxdeletetime->setRange(1, 100);
    voxdeletetime->setEnabled(false);

    const auto row = [](std::initializer_list<QWidget*> widgets, bool stretchFirst) {
        auto* line = new QHBoxLayout;
        bool first = true;
        for (QWidget* w : widgets) {
            line->addWidget(w, first && stretchFirst ? 1 : 0);
            first = false;
        }
        if (!stretchFirst)
            line->addStretch(1);
        return line;
    };
    auto* layout = new QVBoxLayout(group);
    layout->addWidget(voxbox);
    layout->addWidget(new QLabel(QStringLiteral("Silence level (dB):"), group));
    layout->addLayout(row({TrashBar, threshold1}, true));
    layout->addWidget(new QLabel(QStringLiteral("Seconds of silence:"), group));
    layout->addLayout(row({SilenceBar, silenceedit}, true));
    layout->addWidget(splitteron);
    layout->addLayout(row({new QLabel(QStringLiteral("Split recordings by :"), group), timelimit,
                           new QLabel(QStringLiteral("min."), group), timelimitsec,
                           new QLabel(QStringLiteral("sec."), group)},
                          false));
    layout->addWidget(nosplit);
    layout->addLayout(row({voxdelete, voxdeletetime}, false));

    // A track change splits on top of any of the choices above, so it stands apart from them.
    auto* players = new QGroupBox(QStringLiteral("  Media Players  "), page);
    trackbox =
        new QCheckBox(QStringLiteral("Split tracks when the media player changes track"), players);
    auto* combo = new RefreshingComboBox(players);
    combo->refresh = [this] { refreshPlayers(); };
    trackplayer = combo;
    trackplayer->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    trackplayer->setEnabled(false);
    trackplayerLabel = new QLabel(QStringLiteral("&Player to follow:"), players);
    trackplayerLabel->setBuddy(trackplayer);
    trackplayerLabel->setEnabled(false);
    refreshPlayers();
    auto* playerRow = new QHBoxLayout;
    // Indented under the box that switches it on.
    playerRow->addSpacing(style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                          style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
    playerRow->addWidget(trackplayerLabel);
    playerRow->addWidget(trackplayer, 1);
    auto* playersLayout = new QVBoxLayout(players);
    playersLayout->addWidget(trackbox);
    playersLayout->addLayout(playerRow);
    setTabOrder(voxdeletetime, trackbox);
    setTabOrder(trackbox, trackplayer);

    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->addWidget(group);
    pageLayout->addWidget(players);
    pageLayout->addStretch(1);
    return page;
}

QWidget* Tcmanager::buildAboutPage() {
    auto* page = new QWidget;
    auto* product = new QLabel(QStringLiteral("Orvanta"), page);
    QFont big = product->font();
    big.setPointSizeF(big.pointSizeF() * 2);
    big.setBold(true);
    product->setFont(big);
    version = new QLabel(page);
    updatesButton = new QPushButton(QStringLiteral("Check for Updates!"), page);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(product, 0, Qt::AlignHCenter);
    layout->addWidget(version, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    layout->addWidget(updatesButton, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    return page;
}

void Tcmanager::connectHandlers() {
    connect(closebutton, &QPushButton::clicked, this, &Tcmanager::closebuttonClick);
    connect(nav, &QTreeWidget::currentItemChanged, this, &Tcmanager::navChange);
    connect(nav, &QTreeWidget::itemCollapsed, this, &Tcmanager::navCollapsing);
    connect(codecs, &QComboBox::currentIndexChanged, this, &Tcmanager::codecsChange);
    connect(bitrate, &QSlider::valueChanged, this, &Tcmanager::bitrateChange);
    connect(oggquality, &QSlider::valueChanged, this, &Tcmanager::oggqualityChange);
    connect(TrashBar, &QSlider::valueChanged, this, &Tcmanager::TrashBarChange);
    connect(SilenceBar, &QSlider::valueChanged, this, &Tcmanager::SilenceBarChange);
    // A radio button being switched off is followed by another being switched on.
    for (QRadioButton* radio : {voxbox, splitteron, nosplit})
        connect(radio, &QRadioButton::toggled, this, [this](bool on) {
            if (on)
                VoxBoxClick();
        });
    // Check boxes act on every change, also one made by the start-up fill, as a click would.
    connect(voxdelete, &QCheckBox::toggled, this, &Tcmanager::voxdeleteClick);
    connect(trackbox, &QCheckBox::toggled, this, &Tcmanager::trackboxClick);
    // Only the user's choice: the refills select the stored player themselves.
    connect(trackplayer, &QComboBox::activated, this, &Tcmanager::trackplayerChange);
    connect(recordfrom, &QComboBox::activated, this, &Tcmanager::recordfromChange);
    connect(autobox, &QCheckBox::toggled, this, &Tcmanager::autoClick);
    connect(stay, &QCheckBox::toggled, this, &Tcmanager::stayClick);
    connect(minimized, &QCheckBox::toggled, this, &Tcmanager::minimizedClick);
    connect(winboot, &QCheckBox::toggled, this, &Tcmanager::winbootClick);
    connect(pauserec, &QCheckBox::toggled, this, &Tcmanager::pauserecClick);
    connect(hotkeys, &QCheckBox::toggled, this, &Tcmanager::hotkeysClick);
    connect(ask, &QCheckBox::toggled, this, &Tcmanager::askClick);
    connect(autoCheckupdates, &QCheckBox::toggled, this, &Tcmanager::autoCheckupdatesClick);
    connect(autoconfig, &QPushButton::clicked, this, &Tcmanager::autoconfigClick);
    connect(BitBtn1, &QToolButton::clicked, this, &Tcmanager::BitBtn1Click);
    connect(BitBtn2, &QToolButton::clicked, this, &Tcmanager::BitBtn2Click);
    connect(updatesButton, &QPushButton::clicked, this, &Tcmanager::updatesButtonClick);
}

void Tcmanager::FormCreate() {
    nav->expandAll();
    version->setText(QStringLiteral("Version: ") + QCoreApplication::applicationVersion());
    updatesButton->setEnabled(m_host.canCheckForUpdates());

    hotkeys->setChecked(config.hotkeys);
    stay->setChecked(config.stayontop);
    pauserec->setChecked(config.pauserecord);
    voxdelete->setChecked(config.voxautodelete);
    voxdeletetime->setEnabled(config.voxautodelete);
    voxdeletetime->setValue(config.voxautodeletetime); // shown clamped to 1..100
    trackbox->setChecked(config.splitontrack);
    trackboxClick();
    refreshPlayers();
    refreshApplications();
    codecs->setCurrentIndex(config.codec >= 0 && config.codec < codecs->count() ? config.codec
                                                                                : -1);
    Notebook2->setCurrentIndex(std::max(0, codecs->currentIndex()));
    autobox->setChecked(config.autoname);
    autoconfig->setEnabled(config.autoname);
    ask->setChecked(config.askconfirmation);
    destfolder->setText(config.archive);
    minimized->setChecked(config.minstartup);
    // Ticking the box rewrites an existing entry with this program's path, so a program
    // that was moved keeps starting with the session.
    winboot->setChecked(isautostart());
    autoCheckupdates->setChecked(config.checkupdates);

    // This is where capture begins after the program starts.
    // A stored application that does not play yet is waited for, with silence.
    m_source.setApplication(recordedapplication(config), true);
    m_source.startnew(m_source.defaultcard, m_source.defaultinput, m_PCM);

    if (config.vox)
        voxbox->setChecked(true);
    else if (config.splitteron)
        splitteron->setChecked(true);
    else
        nosplit->setChecked(true);
    VoxBoxClick();

    TrashBar->setValue(config.trashold);
    // Halves round to even, as the current rounding mode does by default.
    SilenceBar->setValue(static_cast<int>(std::nearbyint(config.silence * 10.0f)));
    silenceedit->setText(silenceText(SilenceBar->value()));
    TrashBarChange();

    timelimit->setValue(config.timelimit / 60);
    timelimitsec->setValue(config.timelimit % 60);

    oggquality->setValue(config.oggquality);
    Label15->setText(bitrateText(oggApproxKbps(config.oggquality)));
    flaclevel->setValue(config.flaclevel);
    bitrate->setValue(10 - config.bitrate);
    mp3bitrate->setText(
        bitrateText(Mp3BitrateKbps(config.bitrate, static_cast<int32_t>(m_PCM.nSamplesPerSec))));
}

int32_t Tcmanager::oggApproxKbps(int32_t step) {
    static constexpr std::array<int32_t, 11> Kbps{64,  80,  96,  112, 128, 160,
                                                  192, 224, 256, 320, 500};
    return Kbps[static_cast<size_t>(std::clamp(step, 0, 10))];
}

QString Tcmanager::silenceText(int position) {
    return QLocale().toString(position / 10.0, 'f', 1) + QStringLiteral(" sec");
}

// --- Closing -----------------------------------------------------------------------------

void Tcmanager::closebuttonClick() {
    const int32_t seconds = timelimit->value() * 60 + timelimitsec->value();
    config.timelimit = seconds == 0 ? 1 : seconds;
    config.voxautodeletetime = voxdeletetime->value();
    config.flaclevel = flaclevel->value();
    config.oggquality = oggquality->value();
    config.bitrate = 10 - bitrate->value();
    if (codecs->currentIndex() >= 0) {
        config.codec = codecs->currentIndex();
        m_host.setFileSizeVisible(config.codec != FlacIndex);
    }
    m_host.showinfo();
    hide();
}

// --- Navigation and the Format page ------------------------------------------------------

void Tcmanager::navChange() {
    if (QTreeWidgetItem* item = nav->currentItem())
        pages->setCurrentIndex(nav->indexOfTopLevelItem(item));
}

void Tcmanager::navCollapsing(QTreeWidgetItem* item) {
    // The tree stays fully expanded.
    nav->expandItem(item);
}

void Tcmanager::codecsChange() {
    if (codecs->currentIndex() >= 0)
        Notebook2->setCurrentIndex(codecs->currentIndex());
}

void Tcmanager::bitrateChange() {
    mp3bitrate->setText(bitrateText(
        Mp3BitrateKbps(10 - bitrate->value(), static_cast<int32_t>(m_PCM.nSamplesPerSec))));
}

void Tcmanager::oggqualityChange() {
    Label15->setText(bitrateText(oggApproxKbps(oggquality->value())));
}

// --- The Splitter page -------------------------------------------------------------------

void Tcmanager::TrashBarChange() {
    config.trashold = TrashBar->value();
    threshold1->setText(QString::number(leveltodb(TrashBar->value())) + QStringLiteral(" dB"));
}

void Tcmanager::SilenceBarChange() {
    silenceedit->setText(silenceText(SilenceBar->value()));
    config.silence = static_cast<float>(SilenceBar->value()) / 10.0f;
}

void Tcmanager::VoxBoxClick() {
    config.vox = voxbox->isChecked();
    config.splitteron = splitteron->isChecked();
    m_host.showinfo();
}

void Tcmanager::voxdeleteClick() {
    config.voxautodelete = voxdelete->isChecked();
    voxdeletetime->setEnabled(config.voxautodelete);
}

void Tcmanager::trackboxClick() {
    config.splitontrack = trackbox->isChecked();
    trackplayer->setEnabled(config.splitontrack);
    trackplayerLabel->setEnabled(config.splitontrack);
}

void Tcmanager::trackplayerChange() {
    if (trackplayer->currentIndex() >= 0)
        config.trackplayer = trackplayer->currentData().toString();
}

void Tcmanager::refreshPlayers() {
    const QSignalBlocker quiet(trackplayer);
    trackplayer->clear();
    trackplayer->addItem(QStringLiteral("Any player"), QString());
    const QList<QPair<QString, QString>> running =
        mediaPlayers ? mediaPlayers() : QList<QPair<QString, QString>>();
    for (const auto& [busName, shown] : running) {
        if (busName.isEmpty() || trackplayer->findData(busName) >= 0)
            continue;
        trackplayer->addItem(shown.trimmed().isEmpty() ? shortPlayerName(busName) : shown, busName);
    }
    // The stored player stays a choice while it is not running, or the setting would be lost
    // by merely looking at the list.
    if (!config.trackplayer.isEmpty() && trackplayer->findData(config.trackplayer) < 0)
        trackplayer->addItem(shortPlayerName(config.trackplayer), config.trackplayer);
    trackplayer->setCurrentIndex(std::max(0, trackplayer->findData(config.trackplayer)));
}

// --- The General page --------------------------------------------------------------------

void Tcmanager::recordfromChange() {
    if (recordfrom->currentIndex() < 0)
        return;
    const QStringList chosen = recordfrom->currentData().toStringList();
    const QString name = chosen.value(0);
    const QString binary = chosen.value(1);
    if (name == config.recordfrom && binary == config.recordfrombinary)
        return;
    config.recordfrom = name;
    config.recordfrombinary = binary;
    // A recording in hand goes on in the same file, from the new choice on.
    m_source.changeApplication(recordedapplication(config));
}

void Tcmanager::refreshApplications() {
    const QSignalBlocker quiet(recordfrom);
    recordfrom->clear();
    recordfrom->addItem(QStringLiteral("Everything the computer plays"), QStringList());
    const std::vector<audio::PlayingApplication> playing =
        playingApplications ? playingApplications() : std::vector<audio::PlayingApplication>();
    for (const audio::PlayingApplication& app : playing) {
        // One entry per application, however many streams it plays.
        const QStringList key{app.name, app.binary};
        if ((app.name.isEmpty() && app.binary.isEmpty()) || !validrecordfrom(app.name) ||
            !validrecordfrom(app.binary) || recordfrom->findData(key) >= 0)
            continue;
        recordfrom->addItem(QIcon::fromTheme(app.iconName),
                            app.name.isEmpty() ? app.binary : app.name, key);
    }
    // The stored application stays a choice while it does not play, or the setting would be
    // lost by merely looking at the list.
    const QStringList stored{config.recordfrom, config.recordfrombinary};
    if (!recordedapplication(config).isEmpty() && recordfrom->findData(stored) < 0)
        recordfrom->addItem(recordedapplication(config), stored);
    recordfrom->setCurrentIndex(
        recordedapplication(config).isEmpty() ? 0 : std::max(0, recordfrom->findData(stored)));
}

void Tcmanager::autoClick() {
    config.autoname = autobox->isChecked();
    autoconfig->setEnabled(config.autoname);
}

void Tcmanager::autoconfigClick() {
    if (showNamingRules)
        showNamingRules();
}

void Tcmanager::stayClick(bool checked) {
    config.stayontop = checked;
    m_host.setStayOnTop(checked);
}

void Tcmanager::minimizedClick() {
    config.minstartup = minimized->isChecked();
}

void Tcmanager::winbootClick() {
    if (!setautostart(winboot->isChecked())) {
        // The user has been told; the box shows what is really there.
        const QSignalBlocker quiet(winboot);
        winboot->setChecked(isautostart());
    }
}

void Tcmanager::pauserecClick() {
    config.pauserecord = pauserec->isChecked();
}

void Tcmanager::hotkeysClick() {
    config.hotkeys = hotkeys->isChecked();
    if (config.hotkeys)
        m_host.closehotkeys();
    else
        m_host.loadhotkeys();
}

void Tcmanager::askClick() {
    config.askconfirmation = ask->isChecked();
}

void Tcmanager::autoCheckupdatesClick() {
    config.checkupdates = autoCheckupdates->isChecked();
}

void Tcmanager::BitBtn1Click() {
    if (!QFileInfo(config.archive).isDir())
        config.archive.clear();
    const QString chosen =
        chooseFolder ? chooseFolder(QStringLiteral("Select Directory"), config.archive) : QString();
    if (chosen.isEmpty())
        return;
    config.archive = chosen;
    destfolder->setText(chosen);
}

void Tcmanager::BitBtn2Click() {
    if (openFolder)
        openFolder(destfolder->text());
}

void Tcmanager::updatesButtonClick() {
    m_host.checkForUpdates();
}
