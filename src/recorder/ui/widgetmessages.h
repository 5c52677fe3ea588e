#pragma once

#include "common/messages.h"

/// Shows messages in modal message boxes. Their nested event loop keeps serving the capture
/// hand-off, so recording goes on while a box is open. Window thread only.
class WidgetMessageService final : public MessageService {
public:
    MessageResult show(const QString& text, const QString& caption, MessageIcon icon,
                       MessageButtons buttons) override;
};
