#include "fakemessages.h"

FakeMessages::FakeMessages() {
    setMessageService(this);
}

FakeMessages::~FakeMessages() {
    setMessageService(nullptr);
}

MessageResult FakeMessages::show(const QString& text, const QString& caption, MessageIcon icon,
                                 MessageButtons buttons) {
    shown.push_back({text, caption, icon, buttons});
    if (whileOpen)
        whileOpen();
    if (buttons == MessageButtons::Ok)
        return MessageResult::Ok;
    if (answers.empty())
        return MessageResult::No;
    const MessageResult answer = answers.front();
    answers.pop_front();
    return answer;
}
