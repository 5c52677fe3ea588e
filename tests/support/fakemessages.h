#pragma once

#include "common/messages.h"

#include <QString>

#include <deque>
#include <functional>
#include <vector>

/// Records every message instead of showing it, and answers questions from a script.
/// Installs itself as the message service for its lifetime.
class FakeMessages final : public MessageService {
public:
    struct Shown {
        QString text;
        QString caption;
        MessageIcon icon;
        MessageButtons buttons;
    };

    FakeMessages();
    ~FakeMessages() override;

    MessageResult show(const QString& text, const QString& caption, MessageIcon icon,
                       MessageButtons buttons) override;

    std::vector<Shown> shown;
    /// Answers for Yes/No questions, used in order; No when the script is empty.
    std::deque<MessageResult> answers;
    /// Runs while a message is "open", as a modal box's nested event loop would.
    std::function<void()> whileOpen;
};
