#include "settings/settingsfile.h"

#include "common/messages.h"
#include "settings/desktop.h"
#include "settings/events.h"
#include "settings/namehistory.h"
#include "settings/xmlstore.h"

#include <QDir>
#include <QFile>

#include <cmath>
#include <limits>

namespace {

using xmlstore::Element;
using xmlstore::fromBool;

const QString Caption = QStringLiteral("Orvanta");

// Thrown inside the loader only, to leave the element-by-element reading at the first
// problem; loadconfig catches it.
struct LoadError {
    QString reason;
};

// Reads typed attributes of the root's children and throws LoadError when something the
// file must hold is missing or does not convert.
class ConfigReader {
public:
    explicit ConfigReader(const QHash<QString, Element>& children) : m_children(children) {}

    Element element(const QString& name) const { return m_children.value(name); }

    Element required(const QString& name) const {
        const Element found = element(name);
        if (found.isNull()) {
            throw LoadError{QStringLiteral("element \"%1\" is missing").arg(name)};
        }
        return found;
    }

    static QString text(const Element& element, const QString& attribute) {
        if (!element.hasAttribute(attribute)) {
            throw LoadError{QStringLiteral("element \"%1\" has no attribute \"%2\"")
                                .arg(element.tagName(), attribute)};
        }
        return element.attribute(attribute);
    }

    static int32_t integer(const Element& element, const QString& attribute) {
        const QString value = text(element, attribute);
        if (const std::optional<int32_t> number = xmlstore::toInt32(value)) {
            return *number;
        }
        throw badValue(element, attribute, value);
    }

    static bool boolean(const Element& element, const QString& attribute) {
        const QString value = text(element, attribute);
        if (const std::optional<bool> flag = xmlstore::toBool(value)) {
            return *flag;
        }
        throw badValue(element, attribute, value);
    }

    // The reader takes "." and "," alike: older files were written with the user's decimal
    // separator, and a change of locale must not make the whole file unreadable.
    static float decimal(const Element& element, const QString& attribute) {
        QString value = text(element, attribute);
        value.replace(QLatin1Char(','), QLatin1Char('.'));
        bool ok = false;
        const double wide = value.toDouble(&ok);
        if (!ok) {
            throw badValue(element, attribute, value);
        }
        if (std::isfinite(wide) && std::fabs(wide) > std::numeric_limits<float>::max()) {
            // The written form of the largest float rounds up a little; beyond half a step
            // above it the value is not a float at all.
            constexpr double Limit = 3.4028235677973366e38; // 2^128 - 2^103
            if (std::fabs(wide) >= Limit) {
                throw badValue(element, attribute, value);
            }
            return std::copysign(std::numeric_limits<float>::max(), static_cast<float>(wide));
        }
        return static_cast<float>(wide);
    }

private:
    static LoadError badValue(const Element& element, const QString& attribute,
                              const QString& value) {
        return LoadError{QStringLiteral("\"%1\" of element \"%2\" is not a valid value: \"%3\"")
                             .arg(attribute, element.tagName(), value.left(40))};
    }

    const QHash<QString, Element>& m_children;
};

// Splitting at a player's track change came later than the rest of the file: a file without
// the element, or with a value that does not read, leaves it off (or follows any player)
// rather than throwing away every other setting.
void readTrackSplit(const Element& element, TConfig& r) {
    r.splitontrack = false;
    r.trackplayer.clear();
    if (element.isNull()) {
        return;
    }
    if (const std::optional<bool> on =
            xmlstore::toBool(element.attribute(QStringLiteral("enabled")))) {
        r.splitontrack = *on;
    }
    if (const QString player = element.attribute(QStringLiteral("player"));
        validtrackplayer(player)) {
        r.trackplayer = player;
    }
}

// Recording one application came later still: without the element, or with names that do
// not read, everything the computer plays is recorded, as before.
void readRecordFrom(const Element& element, TConfig& r) {
    r.recordfrom.clear();
    r.recordfrombinary.clear();
    if (element.isNull())
        return;
    const QString name = element.attribute(QStringLiteral("name"));
    const QString binary = element.attribute(QStringLiteral("binary"));
    if (validrecordfrom(name) && validrecordfrom(binary)) {
        r.recordfrom = name;
        r.recordfrombinary = binary;
    }
}

void readElements(const QHash<QString, Element>& children, TConfig& r) {
    const ConfigReader reader(children);
    using R = ConfigReader;

    if (const Element flac = reader.element(QStringLiteral("flac")); !flac.isNull()) {
        r.flaclevel = R::integer(flac, QStringLiteral("level"));
    }
    r.oggquality = R::integer(reader.required(QStringLiteral("ogg")), QStringLiteral("quality"));
    r.bitrate = R::integer(reader.required(QStringLiteral("mp3")), QStringLiteral("bitrate"));
    r.vbrmode = 0;

    if (const Element autoname = reader.element(QStringLiteral("autoname")); !autoname.isNull()) {
        r.autoname = R::boolean(autoname, QStringLiteral("enabled"));
        r.namingexpression = autoname.hasAttribute(QStringLiteral("expression"))
                                 ? autoname.attribute(QStringLiteral("expression"))
                                 : QStringLiteral("track-DD-MM-YY_HH-NN-SS");
        r.namingnumber = autoname.hasAttribute(QStringLiteral("number"))
                             ? R::integer(autoname, QStringLiteral("number"))
                             : 100;
    }
    // The counter restarts from the start number in every run.
    r.nextnumber = 0;

    r.codec = R::integer(reader.required(QStringLiteral("codec")), QStringLiteral("index"));
    r.archive = R::text(reader.required(QStringLiteral("archive")), QStringLiteral("dir"));
    r.path = R::text(reader.required(QStringLiteral("path")), QStringLiteral("dir"));
    r.stayontop =
        R::boolean(reader.required(QStringLiteral("stayontop")), QStringLiteral("enabled"));
    r.minstartup =
        R::boolean(reader.required(QStringLiteral("minstartup")), QStringLiteral("enabled"));
    r.displaytype = R::integer(reader.required(QStringLiteral("display")), QStringLiteral("index"));
    r.pauserecord =
        R::boolean(reader.required(QStringLiteral("pauserecord")), QStringLiteral("enabled"));
    r.hotkeys = R::boolean(reader.required(QStringLiteral("hotkeys")), QStringLiteral("enabled"));
    r.scheduler =
        R::boolean(reader.required(QStringLiteral("scheduler")), QStringLiteral("enabled"));

    const Element vox = reader.required(QStringLiteral("vox"));
    r.vox = R::boolean(vox, QStringLiteral("enabled"));
    r.trashold = R::integer(vox, QStringLiteral("threshold"));
    if (r.trashold == 0) {
        r.trashold = 1;
    }
    r.silence = R::decimal(vox, QStringLiteral("silence"));

    const Element mixer = reader.required(QStringLiteral("mixer"));
    r.playvolume = R::integer(mixer, QStringLiteral("playback"));
    r.mixervolume = R::integer(mixer, QStringLiteral("record"));
    // Older versions stored the mixer's raw 0..65535 scale.
    if (r.mixervolume > 100) {
        r.mixervolume /= 655;
    }

    const Element splitter = reader.required(QStringLiteral("splitter"));
    r.splitteron = R::boolean(splitter, QStringLiteral("enabled"));
    r.timelimit = R::integer(splitter, QStringLiteral("timelimit"));

    const Element position = reader.required(QStringLiteral("position"));
    r.posx = R::integer(position, QStringLiteral("x"));
    r.posy = R::integer(position, QStringLiteral("y"));

    const Element columns = reader.required(QStringLiteral("columns"));
    for (size_t i = 0; i < r.schedulercolumns.size(); ++i) {
        r.schedulercolumns[i] = R::integer(columns, QStringLiteral("c%1").arg(i));
    }

    const Element confirmations = reader.element(QStringLiteral("confirmations"));
    r.askconfirmation = confirmations.isNull() || R::boolean(confirmations, QStringLiteral("ask"));

    if (const Element autostop = reader.element(QStringLiteral("autostop")); !autostop.isNull()) {
        r.autostop = R::boolean(autostop, QStringLiteral("enabled"));
        r.autostoptime = R::integer(autostop, QStringLiteral("timelimit"));
    } else {
        r.autostop = false;
        r.autostoptime = 600;
    }

    if (const Element autodelete = reader.element(QStringLiteral("autodelete"));
        !autodelete.isNull()) {
        r.voxautodelete = R::boolean(autodelete, QStringLiteral("enabled"));
        r.voxautodeletetime = R::integer(autodelete, QStringLiteral("deletetime"));
    } else {
        r.voxautodelete = false;
        r.voxautodeletetime = 1;
    }

    const Element checkupdates = reader.element(QStringLiteral("checkupdates"));
    r.checkupdates = checkupdates.isNull() || R::boolean(checkupdates, QStringLiteral("enabled"));

    readTrackSplit(reader.element(QStringLiteral("tracksplit")), r);
    readRecordFrom(reader.element(QStringLiteral("recordfrom")), r);
}

// Values that convert but that the program cannot work with (an edited or damaged file) take
// their default; the rest of the file is kept. A split time below a second would start a new
// file for every block; a silence that is no number between 0.1 and 3600 seconds would keep
// the VOX from ever closing a track or overflow the dialog's slider; an index outside its
// table makes the recording or the display fail.
void correctOutOfRange(TConfig& r) {
    const auto within = [](int32_t& value, int32_t lowest, int32_t highest, int32_t fallback) {
        if (value < lowest || value > highest) {
            value = fallback;
        }
    };
    within(r.codec, 0, 3, configdefaults::codec);
    within(r.bitrate, 0, 10, configdefaults::bitrate);
    within(r.oggquality, 0, 10, configdefaults::oggquality);
    within(r.flaclevel, 0, 8, configdefaults::flaclevel);
    within(r.trashold, 1, 32768, configdefaults::trashold);
    within(r.displaytype, 0, 10, configdefaults::displaytype);
    within(r.timelimit, 1, std::numeric_limits<int32_t>::max(), configdefaults::timelimit);
    // Comparisons with NaN are false, so it fails this test too.
    if (!(r.silence >= 0.1f && r.silence <= 3600.0f)) {
        r.silence = configdefaults::silence;
    }
    // No screen is wider than this; the scheduler window also keeps its own width for a
    // column wider than the screen it opens on.
    constexpr int32_t WidestColumn = 8192;
    for (size_t i = 0; i < r.schedulercolumns.size(); ++i) {
        within(r.schedulercolumns[i], 1, WidestColumn, configdefaults::schedulercolumns[i]);
    }
}

// Reads the whole document; an empty text means success.
QString readConfig(const QString& path, TConfig& record) {
    xmlstore::Document document;
    if (const QString problem = xmlstore::readDocument(path, document); !problem.isEmpty()) {
        return problem;
    }
    if (document.rootName != QLatin1String("Config")) {
        return QStringLiteral("the root element \"Config\" is missing");
    }
    try {
        readElements(document.children, record);
        correctOutOfRange(record);
    } catch (const LoadError& error) {
        return error.reason;
    }
    return {};
}

// General format with up to 15 significant digits and "." always. Qt drops the sign of a
// negative zero, which would not come back bit for bit.
QString silenceText(float silence) {
    if (silence == 0.0f && std::signbit(silence)) {
        return QStringLiteral("-0");
    }
    return QString::number(double(silence), 'g', 15);
}

QByteArray configDocument(const TConfig& r) {
    using N = QString;
    xmlstore::DocumentWriter writer(QStringLiteral("Config"));
    writer.addElement(QStringLiteral("flac"), {{QStringLiteral("level"), N::number(r.flaclevel)}});
    writer.addElement(QStringLiteral("ogg"),
                      {{QStringLiteral("quality"), N::number(r.oggquality)}});
    writer.addElement(QStringLiteral("mp3"), {{QStringLiteral("bitrate"), N::number(r.bitrate)}});
    writer.addElement(QStringLiteral("autoname"),
                      {{QStringLiteral("enabled"), fromBool(r.autoname)},
                       {QStringLiteral("expression"), r.namingexpression},
                       {QStringLiteral("number"), N::number(r.namingnumber)}});
    writer.addElement(QStringLiteral("codec"), {{QStringLiteral("index"), N::number(r.codec)}});
    writer.addElement(QStringLiteral("archive"), {{QStringLiteral("dir"), r.archive}});
    writer.addElement(QStringLiteral("path"), {{QStringLiteral("dir"), r.path}});
    writer.addElement(QStringLiteral("stayontop"),
                      {{QStringLiteral("enabled"), fromBool(r.stayontop)}});
    writer.addElement(QStringLiteral("minstartup"),
                      {{QStringLiteral("enabled"), fromBool(r.minstartup)}});
    writer.addElement(QStringLiteral("display"),
                      {{QStringLiteral("index"), N::number(r.displaytype)}});
    writer.addElement(QStringLiteral("pauserecord"),
                      {{QStringLiteral("enabled"), fromBool(r.pauserecord)}});
    writer.addElement(QStringLiteral("hotkeys"),
                      {{QStringLiteral("enabled"), fromBool(r.hotkeys)}});
    writer.addElement(QStringLiteral("scheduler"),
                      {{QStringLiteral("enabled"), fromBool(r.scheduler)},
                       {QStringLiteral("numevents"), N::number(r.numevents)}});
    // The silence is always written with "." so that the file reads back under any locale;
    // 15 significant digits of the widened value bring back the same single-precision bits.
    writer.addElement(QStringLiteral("vox"),
                      {{QStringLiteral("enabled"), fromBool(r.vox)},
                       {QStringLiteral("threshold"), N::number(r.trashold)},
                       {QStringLiteral("silence"), silenceText(r.silence)},
                       {QStringLiteral("autodelete"), fromBool(r.voxautodelete)},
                       {QStringLiteral("deletetime"), N::number(r.voxautodeletetime)}});
    writer.addElement(QStringLiteral("autodelete"),
                      {{QStringLiteral("enabled"), fromBool(r.voxautodelete)},
                       {QStringLiteral("deletetime"), N::number(r.voxautodeletetime)}});
    writer.addElement(QStringLiteral("mixer"),
                      {{QStringLiteral("playback"), N::number(r.playvolume)},
                       {QStringLiteral("record"), N::number(r.mixervolume)}});
    writer.addElement(QStringLiteral("splitter"),
                      {{QStringLiteral("enabled"), fromBool(r.splitteron)},
                       {QStringLiteral("timelimit"), N::number(r.timelimit)}});
    writer.addElement(QStringLiteral("tracksplit"),
                      {{QStringLiteral("enabled"), fromBool(r.splitontrack)},
                       {QStringLiteral("player"), r.trackplayer}});
    writer.addElement(
        QStringLiteral("recordfrom"),
        {{QStringLiteral("name"), r.recordfrom}, {QStringLiteral("binary"), r.recordfrombinary}});
    writer.addElement(QStringLiteral("autostop"),
                      {{QStringLiteral("enabled"), fromBool(r.autostop)},
                       {QStringLiteral("timelimit"), N::number(r.autostoptime)}});
    writer.addElement(QStringLiteral("position"), {{QStringLiteral("x"), N::number(r.posx)},
                                                   {QStringLiteral("y"), N::number(r.posy)}});
    xmlstore::DocumentWriter::Attributes columns;
    for (size_t i = 0; i < r.schedulercolumns.size(); ++i) {
        columns.emplace_back(QStringLiteral("c%1").arg(i), N::number(r.schedulercolumns[i]));
    }
    writer.addElement(QStringLiteral("columns"), columns);
    writer.addElement(QStringLiteral("confirmations"),
                      {{QStringLiteral("ask"), fromBool(r.askconfirmation)}});
    writer.addElement(QStringLiteral("checkupdates"),
                      {{QStringLiteral("enabled"), fromBool(r.checkupdates)}});
    return writer.finish();
}

} // namespace

QString settingsFolder() {
    return getappdatafolder() + QStringLiteral("/Velmora/Orvanta/");
}

QString loadconfig(const QString& filename, TConfig& record, ConfigLoadMode mode) {
    record = TConfig{};
    const QString folder = settingsFolder();
    if (mode == ConfigLoadMode::Normal) {
        QDir().mkpath(folder);
    }
    record.pathtosettings = folder;

    const QString path = QDir(folder).filePath(filename);
    if (!QFile::exists(path)) {
        defaultconfig(record);
        return {};
    }
    const QString problem = readConfig(path, record);
    if (problem.isEmpty()) {
        return {};
    }
    if (mode == ConfigLoadMode::Normal) {
        messages().show(QStringLiteral("Error loading settings. Default settings will be restored"),
                        Caption, MessageIcon::Information, MessageButtons::Ok);
        // The damaged file is kept beside the new one rather than deleted: it may still hold
        // settings the user wants back. Without it the next start is silent, as the file is
        // then missing until the exit writes a fresh one.
        const QString backup = path + QStringLiteral(".bak");
        QFile::remove(backup);
        QFile::rename(path, backup);
    }
    defaultconfig(record);
    record.pathtosettings = folder;
    return path + QStringLiteral(": ") + problem;
}

bool saveconfig(const QString& filename, const TConfig& record) {
    // The events file's dates have a fixed "dd-mm-yy" form of their own, so no process-wide
    // date format has to be switched around the writes.
    const QString folder = settingsFolder();
    // The load at start creates the folder; creating it again costs nothing and saves the
    // settings if the folder went away meanwhile.
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(filename);
    if (const QString problem = xmlstore::writeFileAtomically(path, configDocument(record));
        !problem.isEmpty()) {
        messages().show(
            QStringLiteral("Could not save the settings to \"%1\": %2.\nThe previous settings "
                           "file was left as it was; changes made in this session are lost.")
                .arg(path, problem),
            Caption, MessageIcon::Error, MessageButtons::Ok);
        return false;
    }
    return saveevents(folder + QStringLiteral("events.xml")) &&
           savenames(folder + QStringLiteral("names.xml"));
}
