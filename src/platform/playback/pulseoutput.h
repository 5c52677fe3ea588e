#pragma once

#include "outputdevice.h"

#include <QString>

#include <memory>

namespace audio::pulse {
class PulseConnection;
}

namespace playback {

/// Plays on the sound server's default sink through libpulse. The connection is made on the
/// engine thread when the first stream opens, and made again after the server went away.
///
/// Threads: openStream() on the engine thread only; see OutputStream for the streams.
class PulseOutputDevice final : public OutputDevice {
public:
    explicit PulseOutputDevice(QString applicationName);
    ~PulseOutputDevice() override;

    std::unique_ptr<OutputStream> openStream(const OutputFormat& format,
                                             std::function<void()> wake) override;

private:
    QString m_applicationName;
    std::shared_ptr<audio::pulse::PulseConnection> m_connection;
};

} // namespace playback
