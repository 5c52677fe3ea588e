#pragma once

#include "settings/events.h"

#include <QDialog>

#include <array>
#include <functional>

class Clock;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTimeEdit;
class QTreeWidget;
class TRecorder;
class TScheduler;

/// The event editor: creates or changes one scheduled event. Created for each use by the
/// scheduler window, shown modally, destroyed when it closes. "&Ok" writes the event table
/// and the scheduler list directly. Window thread only.
class Taddevent : public QDialog {
    Q_OBJECT

public:
    enum class Mode { Add, Edit };

    /// The refusal shown when the table already holds MaxEvents events.
    static constexpr const char* ScheduleFull =
        "The schedule is full: it holds at most 100 events. Delete an event before adding "
        "another.";

    /// `list` is the scheduler window's list, whose rows the editor appends or rewrites.
    Taddevent(QTreeWidget& list, TScheduler& engine, TRecorder& recorder, Clock& clock,
              QWidget* parent = nullptr);

    /// Add mode (the default), or edit mode for list row `row` (event slot row + 1). Sets the
    /// caption; call it before the editor is shown.
    void setMode(Mode mode, int row = -1);
    Mode mode() const { return m_mode; }

    /// The default browser's command, offered in add mode.
    std::function<QString()> defaultBrowser;

    /// Fills the fields: defaults in add mode, the event in edit mode. Runs when the editor
    /// is shown.
    void FormShow();
    /// The repeat choice changed: the day page, the date page, or the day page with every
    /// day ticked ("Daily").
    void e_repChange();
    /// "Additional Task  ": the application fields and the test button follow the box.
    void e_taskClick();
    /// "Test additional task": starts the application now.
    void testButtonClick();
    /// "&Ok": checks the input, stores the event and closes; on bad input it says why and
    /// stays open with the input intact.
    void Ok_ButtonClick();
    /// The event the fields describe.
    void init(TRecEvent& ev) const;
    /// Rewrites the edited row (`up`) or appends a row for `ev`.
    void updateinfo(const TRecEvent& ev, bool up);

    QLineEdit* e_name = nullptr;
    QTimeEdit* e_starttime = nullptr;
    QTimeEdit* e_stoptime = nullptr;
    QRadioButton* autobutton = nullptr;
    QRadioButton* manualbutton = nullptr;
    QComboBox* e_rep = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    QCheckBox* pon = nullptr;
    QCheckBox* vtor = nullptr;
    QCheckBox* sred = nullptr;
    QCheckBox* cht = nullptr;
    QCheckBox* ptn = nullptr;
    QCheckBox* sub = nullptr;
    QCheckBox* voskr = nullptr;
    /// The day boxes, Monday first: dayBoxes[tag - 1].
    std::array<QCheckBox*, 7> dayBoxes{};
    /// Holds the start moment of a fixed-date event; only its date is used.
    QDateTimeEdit* e_fixeddate = nullptr;
    /// The check box heading the application's group.
    QGroupBox* e_task = nullptr;
    QLabel* appLabel = nullptr;
    QLineEdit* e_app = nullptr;
    QLabel* paramLabel = nullptr;
    QLineEdit* e_param = nullptr;
    QPushButton* testButton = nullptr;
    QPushButton* Ok_Button = nullptr;
    QPushButton* Cancel_Button = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool inputAcceptable();
    TDateTime today() const;
    /// The new stop moment of the event that is recording now.
    TDateTime runningStopDate(const TRecEvent& before, const TRecEvent& after) const;

    QTreeWidget& m_list;
    TScheduler& m_engine;
    TRecorder& m_recorder;
    Clock& m_clock;
    Mode m_mode = Mode::Add;
    int m_row = -1;
};
