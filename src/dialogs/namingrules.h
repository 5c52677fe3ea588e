#pragma once

#include <QDateTime>
#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

/// The naming rules window "File Name template": edits the naming expression, the start
/// number of NUM and the history of expressions. Created by the settings dialog's
/// "Customize..." button, shown modally, destroyed when it closes. Reads and writes
/// `config.namingexpression`, `config.namingnumber`, `config.nextnumber` and `namehistory`.
/// Window thread only.
class Tnamingrules : public QDialog {
    Q_OBJECT

public:
    explicit Tnamingrules(QWidget* parent = nullptr);

    /// Fills the fields from the settings: the start number, the history (listed sorted)
    /// and the current expression. Runs when the window is shown.
    void FormShow();

    /// "Default": puts the default expression into the field; stores nothing.
    void LoadDefaultsButtonClick();
    /// "Test": shows an example name in the example label; stores nothing.
    void TestButtonClick();
    /// "&Ok": checks, stores and closes; a refused expression or an invalid start number
    /// is reported and the window stays open with nothing changed.
    void OkButtonClick();

    QComboBox* Dexpression2 = nullptr; ///< the expression field, editable
    QLineEdit* dstartnumber = nullptr; ///< the start number; takes digits only
    QLabel* example = nullptr;         ///< "For example: ..."
    QPushButton* LoadDefaultsButton = nullptr;
    QPushButton* TestButton = nullptr;
    QPushButton* OkButton = nullptr;

    /// The instant "Test" expands the example from; the system clock unless a test sets it.
    std::function<QDateTime()> clock;

protected:
    void showEvent(QShowEvent* event) override;

private:
    /// The start number field as an integer; an invalid text is reported and gives nothing.
    std::optional<int32_t> startNumber();
};
