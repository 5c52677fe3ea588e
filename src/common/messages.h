#pragma once

#include <QString>

enum class MessageIcon { Information, Warning, Error, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageResult { Ok, Yes, No };

/// Shows a modal message to the user. The window program installs one that opens a message
/// box (its nested event loop keeps serving hand-offs); the command-line recorder prints to
/// standard error; tests install a fake that records what was shown.
/// Window thread only.
class MessageService {
public:
    virtual ~MessageService() = default;
    virtual MessageResult show(const QString& text, const QString& caption, MessageIcon icon,
                               MessageButtons buttons) = 0;
};

/// The installed service; until one is installed, messages go to standard error and the
/// answer is Ok (or No for a question). A message while the same one (text, caption, icon
/// and buttons) is still open is not shown again: it returns Ok, or No for a question.
MessageService& messages();

/// Installs a service (null restores the standard-error one). The caller keeps ownership.
void setMessageService(MessageService* service);

/// Prints messages to standard error.
class StderrMessageService final : public MessageService {
public:
    MessageResult show(const QString& text, const QString& caption, MessageIcon icon,
                       MessageButtons buttons) override;
};
