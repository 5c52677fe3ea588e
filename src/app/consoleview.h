#pragma once

#include "recorder/recorderview.h"

/// A recorder view for programs without windows: prints status changes and messages to
/// standard error and never asks for a file name.
class ConsoleView final : public HeadlessRecorderView {
public:
    void showStatus(const QString& text, Rgb, int) override;
    void setFileLabel(const QString&, const QString& hint) override;

private:
    QString m_lastStatus;
};
