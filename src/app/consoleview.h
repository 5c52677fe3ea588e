#pragma once

#include "recorder/recorderview.h"

/// A recorder view for programs without windows: prints status changes and messages to
/// standard error and never asks for a file name.
class ConsoleView final : public RecorderView {
public:
    void setButtonEnabled(RecorderButton, bool) override {}
    void showStatus(const QString& text, Rgb, int) override;
    void setFileLabel(const QString&, const QString& hint) override;
    void setTimeText(const QString&) override {}
    void setLevelSlider(int) override {}
    void setPositionSlider(int) override {}
    void resetSpectrum() override {}
    QString askSaveFileName(const QString&, const QString&, const QString&) override { return {}; }
    MessageResult messageBox(const QString& text, const QString& caption, MessageIcon icon,
                             MessageButtons buttons) override;
    void refreshBrowser() override {}

private:
    QString m_lastStatus;
};
