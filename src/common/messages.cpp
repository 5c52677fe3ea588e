#include "messages.h"

#include <cstdio>

namespace {
MessageService* g_service = nullptr;
}

MessageResult StderrMessageService::show(const QString& text, const QString& caption,
                                         MessageIcon icon, MessageButtons buttons) {
    const char* kind = icon == MessageIcon::Error     ? "error"
                       : icon == MessageIcon::Warning ? "warning"
                                                      : "note";
    std::fprintf(stderr, "%s: %s: %s\n", kind, qUtf8Printable(caption), qUtf8Printable(text));
    return buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
}

MessageService& messages() {
    static StderrMessageService fallback;
    return g_service ? *g_service : fallback;
}

void setMessageService(MessageService* service) {
    g_service = service;
}
