#include "dialogs/namingrules.h"

#include "settings/config.h"
#include "settings/namehistory.h"
#include "support/fakemessages.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const QString Caption = QStringLiteral("Orvanta");
const QString InitialExample = QStringLiteral("For example: track-08-aug-2006_22-15.mp3");

class NamingRulesTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        config = TConfig{};
        namehistory.clear();
    }

    /// Shows the window as the settings dialog would, so that it fills from the settings.
    static void showWith(Tnamingrules& dialog, const QString& expression, const QString& number) {
        dialog.show();
        dialog.Dexpression2->setEditText(expression);
        dialog.dstartnumber->setText(number);
    }

    static QStringList listed(const QComboBox& combo) {
        QStringList items;
        for (int i = 0; i < combo.count(); ++i)
            items << combo.itemText(i);
        return items;
    }

    FakeMessages fake;
};

TEST_F(NamingRulesTest, FillsFromTheSettingsEachTimeItIsShown) {
    config.namingexpression = QStringLiteral("rec-NUM");
    config.namingnumber = 42;
    namehistory = {QStringLiteral("b"), QStringLiteral("A-NUM"), QStringLiteral("track-DD"),
                   QStringLiteral("a")};
    const QStringList history = namehistory;

    Tnamingrules dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("File Name template"));
    EXPECT_EQ(dialog.example->text(), InitialExample);
    dialog.show();

    EXPECT_EQ(listed(*dialog.Dexpression2),
              (QStringList{QStringLiteral("a"), QStringLiteral("A-NUM"), QStringLiteral("b"),
                           QStringLiteral("track-DD")}));
    EXPECT_EQ(namehistory, history) << "only the list is sorted, not the history";
    EXPECT_EQ(dialog.Dexpression2->currentText(), QStringLiteral("rec-NUM"));
    EXPECT_EQ(dialog.dstartnumber->text(), QStringLiteral("42"));

    // Shown again after the settings changed, it shows the new values, not the old list.
    dialog.hide();
    config.namingexpression = QStringLiteral("x");
    config.namingnumber = 7;
    namehistory = {QStringLiteral("x")};
    dialog.show();
    EXPECT_EQ(listed(*dialog.Dexpression2), QStringList{QStringLiteral("x")});
    EXPECT_EQ(dialog.Dexpression2->currentText(), QStringLiteral("x"));
    EXPECT_EQ(dialog.dstartnumber->text(), QStringLiteral("7"));
    EXPECT_TRUE(fake.shown.empty());
}

TEST_F(NamingRulesTest, OkResetsTheCounterOnlyForAnotherStartNumber) {
    config.namingexpression = QStringLiteral("rec-NUM");
    config.namingnumber = 100;

    {
        config.nextnumber = 5;
        Tnamingrules dialog;
        showWith(dialog, QStringLiteral("take-NUM"), QStringLiteral("100"));
        dialog.OkButton->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(config.namingexpression, QStringLiteral("take-NUM"));
        EXPECT_EQ(config.namingnumber, 100);
        EXPECT_EQ(config.nextnumber, 5) << "only the expression changed";
    }
    {
        Tnamingrules dialog;
        showWith(dialog, QStringLiteral("take-NUM"), QStringLiteral("0100"));
        dialog.OkButton->click();
        EXPECT_EQ(config.nextnumber, 5) << "0100 is the same start number";
    }
    {
        Tnamingrules dialog;
        showWith(dialog, QStringLiteral("take-NUM"), QStringLiteral("101"));
        dialog.OkButton->click();
        EXPECT_EQ(config.namingnumber, 101);
        EXPECT_EQ(config.nextnumber, 0);
    }
    EXPECT_TRUE(fake.shown.empty());
}

TEST_F(NamingRulesTest, OkAddsAnExpressionToTheHistoryUnlessPresentInAnyCase) {
    namehistory = {QStringLiteral("YY-MM-DD"), QStringLiteral("b")};

    Tnamingrules dialog;
    showWith(dialog, QStringLiteral("yy-mm-dd"), QStringLiteral("0"));
    dialog.OkButton->click();
    EXPECT_EQ(namehistory, (QStringList{QStringLiteral("YY-MM-DD"), QStringLiteral("b")}));
    EXPECT_EQ(config.namingexpression, QStringLiteral("yy-mm-dd"))
        << "the history entry must not replace the text as typed";

    // A new one goes to the end, whatever its place in the sorted list.
    Tnamingrules again;
    showWith(again, QStringLiteral("a-NUM"), QStringLiteral("0"));
    again.OkButton->click();
    EXPECT_EQ(namehistory, (QStringList{QStringLiteral("YY-MM-DD"), QStringLiteral("b"),
                                        QStringLiteral("a-NUM")}));
}

// Letter case separates tokens from text, so confirming with Enter must keep "yy-mm-dd" as
// typed even though the list holds "YY-MM-DD".
TEST_F(NamingRulesTest, EnterInTheExpressionFieldConfirmsTheTextAsTyped) {
    namehistory = {QStringLiteral("YY-MM-DD")};
    config.namingexpression = QStringLiteral("YY-MM-DD");

    Tnamingrules dialog;
    dialog.show();
    QLineEdit* field = dialog.Dexpression2->lineEdit();
    field->clear();
    QTest::keyClicks(field, QStringLiteral("yy-mm-dd"));
    QTest::keyClick(field, Qt::Key_Return);

    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(config.namingexpression, QStringLiteral("yy-mm-dd"));
    EXPECT_EQ(namehistory, QStringList{QStringLiteral("YY-MM-DD")});
}

TEST_F(NamingRulesTest, OkRefusesEachIllegalCharacterAndKeepsTheWindowOpen) {
    config.namingexpression = QStringLiteral("rec-NUM");
    config.namingnumber = 3;
    config.nextnumber = 2;
    namehistory = {QStringLiteral("rec-NUM")};
    const TConfig before = config;
    const QString refusal = QStringLiteral("File name contain one of illegal symbols: "
                                           "/,\\,:,*,?,\",<,>,|. Please correct your input.");

    for (const QChar symbol : QStringLiteral("/\\:*?\"<>|")) {
        SCOPED_TRACE(QString(symbol).toStdString());
        fake.shown.clear();
        Tnamingrules dialog;
        // The start number is invalid as well: the expression is checked first.
        showWith(dialog, QStringLiteral("a") + symbol + QStringLiteral("b"), QString());
        dialog.OkButton->click();

        ASSERT_EQ(fake.shown.size(), 1u);
        EXPECT_EQ(fake.shown[0].text, refusal);
        EXPECT_EQ(fake.shown[0].caption, Caption);
        EXPECT_EQ(fake.shown[0].icon, MessageIcon::Information);
        EXPECT_EQ(fake.shown[0].buttons, MessageButtons::Ok);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_NE(dialog.result(), QDialog::Accepted);
        EXPECT_TRUE(config == before);
        EXPECT_EQ(namehistory, QStringList{QStringLiteral("rec-NUM")});
    }
}

TEST_F(NamingRulesTest, AnInvalidStartNumberIsReportedAndChangesNothing) {
    config.namingexpression = QStringLiteral("rec-NUM");
    config.namingnumber = 3;
    config.nextnumber = 2;
    const TConfig before = config;

    for (const QString& text : {QString(), QStringLiteral("2147483648"), QStringLiteral(" 5")}) {
        SCOPED_TRACE(text.toStdString());
        fake.shown.clear();
        Tnamingrules dialog;
        showWith(dialog, QStringLiteral("new-NUM"), text);

        dialog.TestButton->click();
        EXPECT_EQ(dialog.example->text(), InitialExample);
        dialog.OkButton->click();

        ASSERT_EQ(fake.shown.size(), 2u) << "one report for Test, one for Ok";
        for (const FakeMessages::Shown& shown : fake.shown) {
            EXPECT_EQ(shown.text, QStringLiteral("'%1' is not a valid integer value").arg(text));
            EXPECT_EQ(shown.caption, Caption);
            EXPECT_EQ(shown.icon, MessageIcon::Error);
            EXPECT_EQ(shown.buttons, MessageButtons::Ok);
        }
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_NE(dialog.result(), QDialog::Accepted);
        EXPECT_TRUE(config == before);
        EXPECT_TRUE(namehistory.isEmpty());
    }
}

TEST_F(NamingRulesTest, StartNumberTakesDigitsOnly) {
    Tnamingrules dialog;
    dialog.show();
    QLineEdit* field = dialog.dstartnumber;
    field->clear();
    QTest::keyClicks(field, QStringLiteral("1a2-+ 3"));
    EXPECT_EQ(field->text(), QStringLiteral("123"));
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(field->text(), QStringLiteral("12"));
    // Pasted text passes the same filter.
    field->insert(QStringLiteral("4x"));
    EXPECT_EQ(field->text(), QStringLiteral("12"));
}

TEST_F(NamingRulesTest, DefaultSetsTheDefaultExpressionAndStoresNothing) {
    config.namingexpression = QStringLiteral("rec-NUM");
    config.namingnumber = 9;
    const TConfig before = config;

    Tnamingrules dialog;
    showWith(dialog, QStringLiteral("typed"), QStringLiteral("77"));
    dialog.LoadDefaultsButton->click();

    EXPECT_EQ(dialog.Dexpression2->currentText(), QStringLiteral("YY-MM-DD-HH-NN-SS"));
    EXPECT_EQ(dialog.dstartnumber->text(), QStringLiteral("77"));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(config == before);
    EXPECT_TRUE(namehistory.isEmpty());
}

TEST_F(NamingRulesTest, TestShowsAnExampleAndMovesNoCounter) {
    config.namingexpression = QStringLiteral("rec-NUM");
    config.namingnumber = 9;
    config.nextnumber = 4;
    const TConfig before = config;

    Tnamingrules dialog;
    dialog.clock = [] { return QDateTime(QDate(2024, 8, 8), QTime(22, 15, 7)); };
    showWith(dialog, QStringLiteral("EVENT_YY-MN-DD_HH-NN-SS_NUM"), QStringLiteral("42"));
    dialog.TestButton->click();

    EXPECT_EQ(dialog.example->text(),
              QStringLiteral("For example: My scheduled record_2024-08-08_22-15-07_042.mp3"));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(config == before);
    EXPECT_TRUE(namehistory.isEmpty());
    EXPECT_TRUE(fake.shown.empty());
}

TEST_F(NamingRulesTest, TakesAndShowsTheTrackTokens) {
    Tnamingrules dialog;
    const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
    for (const char* token : {"ARTIST - ", "TITLE - ", "ALBUM - ", "TRACK - "}) {
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](const QLabel* label) {
            return label->text().startsWith(QLatin1String(token));
        })) << token;
    }

    const QString expression = QStringLiteral("TRACK ARTIST - TITLE (ALBUM)");
    showWith(dialog, expression, QStringLiteral("1"));
    dialog.TestButton->click();
    EXPECT_EQ(dialog.example->text(),
              QStringLiteral("For example: 03 Some Artist - Some Title (Some Album).mp3"));
    dialog.OkButton->click();
    EXPECT_EQ(config.namingexpression, expression);
    EXPECT_TRUE(fake.shown.empty());
}

} // namespace
