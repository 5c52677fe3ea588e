#include "audioclienterrors.h"

namespace {

constexpr uint32_t E_INVALIDARG = 0x80070057u;

// The descriptions of the audio-client statuses; the capture backend fills in the table.
QString description(uint32_t) {
    return QStringLiteral("Unknown error");
}

} // namespace

QString AudioClientErrorText(const QString& caption, int32_t code, const QString& extra) {
    const auto status = static_cast<uint32_t>(code);
    QString text = caption + QLatin1Char('\n') + description(status);
    if (status == E_INVALIDARG)
        text += extra;
    return text;
}
