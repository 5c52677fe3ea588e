#pragma once

#include "scheduler/scheduler.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class Clock;
class QCheckBox;
class QPoint;
class QPushButton;
class QTreeWidget;
class TRecorder;
class Taddevent;

/// The scheduler window "Recording Schedule": the list of scheduled events, "Enable
/// Scheduler" and the commands that add, edit, clone and delete events. Created hidden at
/// start-up and kept until exit; hiding it keeps its list. Window thread only.
///
/// Its constructor hands the list to the engine; the owner takes it back (setList(nullptr))
/// before the window is destroyed, since the window cannot know whether the engine still
/// exists by then.
class Tshedule : public QWidget, public ScheduleList {
    Q_OBJECT

public:
    Tshedule(TScheduler& engine, TRecorder& recorder, Clock& clock, QWidget* parent = nullptr);
    ~Tshedule() override;

    /// Runs once after construction: "Enable Scheduler" and the column widths from the
    /// settings.
    void FormCreate();
    /// The widths of the six columns, for the settings.
    std::array<int32_t, 6> columnWidths() const;

    /// Refreshes the main window's indicators ("&Ok" calls it).
    std::function<void()> showinfo;
    /// The default browser's command, offered to new events; getdefaultbrowser unless
    /// replaced (tests replace it).
    std::function<QString()> defaultBrowser;
    /// Shows the event editor modally and gives its result; QDialog::exec unless replaced
    /// (tests fill the editor and press its buttons here instead).
    std::function<int(Taddevent&)> runEditor;

    /// Rebuilds the list from the event table and clears every event's canceled flag. Runs
    /// each time the window is shown (not when it comes back from being minimised).
    void FormShow();
    /// "&Ok": refreshes the main window's indicators and hides the window.
    void OkButtonClick();
    /// "Enable Scheduler": config.scheduler follows the box.
    void timenableClick();
    /// "&Add Event": the editor in add mode; refused with a message when the table is full.
    void addeventbuttonClick();
    /// "&Edit Event", and a double click: the editor for the selected row.
    void editeventbuttonClick();
    /// "&Clone Event": appends a copy of the selected event, keeping the selection.
    void cloneeventbuttonClick();
    /// "&Delete Event", and the Delete key: deletes the selected event without asking.
    void deleventbuttonClick();
    void ListView1DblClick();
    /// The list's key handler; true when it handled the key (Delete).
    bool ListView1KeyDown(int key);
    /// Enables the edit, delete and clone buttons exactly when a row is selected.
    void ListView1Change();
    /// Whether a drag may be dropped at `pos` (viewport coordinates): only onto a row.
    bool ListView1DragOver(const QPoint& pos) const;
    /// Moves the event of row `source` to row `target` in the table and in the list, and
    /// selects it there. False (nothing changes) for rows that do not exist.
    bool ListView1DragDrop(int source, int target);
    /// Moves the event in slot `from` to slot `topos` (1-based); the events in between
    /// close the gap. A current event keeps its recorder's currentevent.
    void moveevent(int32_t from, int32_t topos);

    /// The selected row, or -1.
    int selectedRow() const;

    QTreeWidget* ListView1 = nullptr;
    QPushButton* addeventbutton = nullptr;
    QPushButton* editeventbutton = nullptr;
    QPushButton* cloneeventbutton = nullptr;
    QPushButton* deleventbutton = nullptr;
    QCheckBox* timenable = nullptr;
    QPushButton* OkButton = nullptr;

    // ScheduleList.
    int rowCount() const override;
    void selectRow(int row) override;
    void setRowStatus(int row, const QString& status) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    /// Opens the editor in add mode (row -1) or for a row.
    void openEditor(int row);
    /// False, with the message, when the table holds no room for another event.
    bool roomForAnother() const;
    void appendRow(int slot);

    TScheduler& m_engine;
    TRecorder& m_recorder;
    Clock& m_clock;
};
