#pragma once

#include "recorder/recorderview.h"

#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <vector>

/// Records what the recorder shows and answers its questions from a script.
class FakeView final : public RecorderView {
public:
    struct Box {
        QString text;
        QString caption;
        MessageIcon icon;
        MessageButtons buttons;
    };

    void setButtonEnabled(RecorderButton button, bool enabled) override {
        buttons[button] = enabled;
    }
    void showStatus(const QString& text, Rgb colour, int trayIcon) override {
        status = text;
        statusColour = colour;
        tray = trayIcon;
        ++statusCalls;
    }
    void setFileLabel(const QString& text, const QString& hint) override {
        fileLabel = text;
        fileHint = hint;
        if (whileLabelSet)
            whileLabelSet();
    }
    void setTimeText(const QString& text) override { timeText = text; }
    void setLevelSlider(int position) override { levelSlider = position; }
    void setPositionSlider(int position) override { positionSlider = position; }
    void resetSpectrum() override { ++spectrumResets; }
    QString askSaveFileName(const QString& filter, const QString& defaultExtension,
                            const QString& initialFolder) override {
        ++dialogs;
        lastFilter = filter;
        lastExtension = defaultExtension;
        lastFolder = initialFolder;
        if (whileDialogOpen)
            whileDialogOpen();
        if (saveAnswers.empty())
            return {};
        QString answer = saveAnswers.front();
        saveAnswers.pop_front();
        return answer;
    }
    MessageResult messageBox(const QString& text, const QString& caption, MessageIcon icon,
                             MessageButtons b) override {
        boxes.push_back({text, caption, icon, b});
        if (whileBoxOpen)
            whileBoxOpen();
        if (b == MessageButtons::Ok)
            return MessageResult::Ok;
        if (questionAnswers.empty())
            return MessageResult::No;
        MessageResult answer = questionAnswers.front();
        questionAnswers.pop_front();
        return answer;
    }
    void refreshBrowser() override { ++browserRefreshes; }

    bool enabled(RecorderButton b) const {
        auto it = buttons.find(b);
        return it != buttons.end() && it->second;
    }

    std::map<RecorderButton, bool> buttons;
    QString status;
    Rgb statusColour;
    int tray = -1;
    int statusCalls = 0;
    QString fileLabel;
    QString fileHint;
    QString timeText;
    int levelSlider = -1;
    int positionSlider = -1;
    int spectrumResets = 0;
    int dialogs = 0;
    QString lastFilter;
    QString lastExtension;
    QString lastFolder;
    std::deque<QString> saveAnswers;
    std::deque<MessageResult> questionAnswers;
    std::vector<Box> boxes;
    int browserRefreshes = 0;
    std::function<void()> whileDialogOpen;
    std::function<void()> whileBoxOpen;
    std::function<void()> whileLabelSet;
};
