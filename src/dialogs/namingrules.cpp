#include "namingrules.h"

#include "common/messages.h"
#include "common/trackinfo.h"
#include "settings/autoname.h"
#include "settings/config.h"
#include "settings/namehistory.h"

#include <QComboBox>
#include <QCompleter>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString Caption = QStringLiteral("Orvanta");
const QString DefaultExpression = QStringLiteral("YY-MM-DD-HH-NN-SS");
const QString ExampleEventName = QStringLiteral("My scheduled record");
const QString ExamplePrefix = QStringLiteral("For example: ");

// What the example shows for the track tokens, as if a player were playing this.
TrackInfo exampleTrack() {
    TrackInfo track;
    track.artist = QStringLiteral("Some Artist");
    track.title = QStringLiteral("Some Title");
    track.album = QStringLiteral("Some Album");
    track.trackNumber = 3;
    return track;
}

const char* const Legend[] = {
    "YY - current year",
    "MM - current month",
    "DD - current day",
    "YS - last two digits of current year",
    "MN - current month number",
    "DW - current day of week",
    "HH - current hour",
    "NN - current minutes",
    "SS - current seconds",
    "NUM - incremental numbers started from:",
    "EVENT - scheduler's event name",
    "ARTIST - artist of the player's track",
    "TITLE - title of the player's track",
    "ALBUM - album of the player's track",
    "TRACK - track number of the player's track",
};
constexpr int NumLegendRow = 9;

} // namespace

Tnamingrules::Tnamingrules(QWidget* parent)
    : QDialog(parent), clock([] { return QDateTime::currentDateTime(); }) {
    setWindowTitle(QStringLiteral("File Name template"));

    auto* page = new QWidget;
    auto* pageLayout = new QVBoxLayout(page);

    Dexpression2 = new QComboBox;
    Dexpression2->setEditable(true);
    // The list mirrors namehistory, which only "&Ok" extends; Enter must not add to it.
    Dexpression2->setInsertPolicy(QComboBox::NoInsert);
    // Case decides what is a token ("YY" is the year, "yy" is text), so neither completion
    // nor Enter may swap the typed text for an entry that differs only in letter case.
    Dexpression2->completer()->setCaseSensitivity(Qt::CaseSensitive);
    // A long entry in the history must not stretch the window.
    Dexpression2->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    Dexpression2->setMinimumContentsLength(30);
    pageLayout->addWidget(Dexpression2);

    auto* legendBox = new QGroupBox(QStringLiteral("  You may use this variables:  "));
    auto* legendLayout = new QGridLayout(legendBox);
    int row = 0;
    for (const char* line : Legend) {
        auto* label = new QLabel(QString::fromLatin1(line));
        legendLayout->addWidget(label, row, 0);
        if (row == NumLegendRow) {
            dstartnumber = new QLineEdit;
            // The validator also filters pasted text; editing keys work as usual.
            dstartnumber->setValidator(new QRegularExpressionValidator(
                QRegularExpression(QStringLiteral("[0-9]*")), dstartnumber));
            dstartnumber->setAccessibleName(label->text());
            dstartnumber->setMinimumWidth(
                dstartnumber->fontMetrics().horizontalAdvance(QStringLiteral("00000000000")));
            label->setBuddy(dstartnumber);
            legendLayout->addWidget(dstartnumber, row, 1);
        }
        ++row;
    }
    legendLayout->setColumnStretch(2, 1);
    pageLayout->addWidget(legendBox);

    example = new QLabel(QStringLiteral("For example: track-08-aug-2006_22-15.mp3"));
    example->setWordWrap(true);
    example->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pageLayout->addWidget(example);
    pageLayout->addStretch(1);

    auto* tabs = new QTabWidget;
    tabs->addTab(page, QStringLiteral("Expression"));

    LoadDefaultsButton = new QPushButton(QStringLiteral("Default"));
    TestButton = new QPushButton(QStringLiteral("Test"));
    OkButton = new QPushButton(QStringLiteral("&Ok"));
    OkButton->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(LoadDefaultsButton);
    buttons->addWidget(TestButton);
    buttons->addStretch(1);
    buttons->addWidget(OkButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addLayout(buttons);

    connect(LoadDefaultsButton, &QPushButton::clicked, this,
            &Tnamingrules::LoadDefaultsButtonClick);
    connect(TestButton, &QPushButton::clicked, this, &Tnamingrules::TestButtonClick);
    connect(OkButton, &QPushButton::clicked, this, &Tnamingrules::OkButtonClick);
}

void Tnamingrules::FormShow() {
    dstartnumber->setText(QString::number(config.namingnumber));
    // The history itself stays in the order of use; only the list shows it sorted.
    QStringList sorted = namehistory;
    std::stable_sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    Dexpression2->clear();
    Dexpression2->addItems(sorted);
    Dexpression2->setEditText(config.namingexpression);
}

void Tnamingrules::LoadDefaultsButtonClick() {
    Dexpression2->setEditText(DefaultExpression);
}

void Tnamingrules::TestButtonClick() {
    const std::optional<int32_t> number = startNumber();
    if (!number)
        return;
    const TrackInfo track = exampleTrack();
    example->setText(ExamplePrefix +
                     makeautoname(Dexpression2->currentText(), ExampleEventName, *number, clock(),
                                  QLocale(), &track) +
                     QStringLiteral(".mp3"));
}

void Tnamingrules::OkButtonClick() {
    const QString expression = Dexpression2->currentText();
    if (!checkexpression(expression)) {
        messages().show(QStringLiteral("File name contain one of illegal symbols: "
                                       "/,\\,:,*,?,\",<,>,|. Please correct your input."),
                        Caption, MessageIcon::Information, MessageButtons::Ok);
        return;
    }
    const std::optional<int32_t> number = startNumber();
    if (!number)
        return;
    // A new start number restarts the count; the same one lets the count go on.
    if (*number != config.namingnumber)
        config.nextnumber = 0;
    config.namingexpression = expression;
    config.namingnumber = *number;
    if (!namehistory.contains(expression, Qt::CaseInsensitive))
        namehistory.append(expression);
    accept();
}

void Tnamingrules::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A spontaneous show is the window coming back from being minimised; the fields then keep
    // what the user has typed.
    if (!event->spontaneous())
        FormShow();
}

std::optional<int32_t> Tnamingrules::startNumber() {
    const QString text = dstartnumber->text();
    // Only digits can be typed, but the field starts with config.namingnumber, which may be
    // negative; white space and other forms that toInt() would take are refused.
    static const QRegularExpression Decimal(QStringLiteral("\\A-?[0-9]+\\z"));
    bool ok = false;
    const int value = Decimal.match(text).hasMatch() ? text.toInt(&ok, 10) : 0;
    if (!ok) {
        messages().show(QStringLiteral("'%1' is not a valid integer value").arg(text), Caption,
                        MessageIcon::Error, MessageButtons::Ok);
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}
