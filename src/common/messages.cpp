#include "messages.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <tuple>
#include <vector>

namespace {

MessageService* g_service = nullptr;

MessageService& installed() {
    static StderrMessageService fallback;
    return g_service ? *g_service : fallback;
}

/// Passes each message on to the installed service, except one that is open already: a
/// modal box's nested event loop serves the global hot keys, and a key pressed again would
/// otherwise open one more box of the same kind on top of it for every press.
class OneOfAKind final : public MessageService {
public:
    MessageResult show(const QString& text, const QString& caption, MessageIcon icon,
                       MessageButtons buttons) override {
        const Kind kind{text, caption, icon, buttons};
        {
            std::lock_guard lock(m_mutex);
            if (std::find(m_open.begin(), m_open.end(), kind) != m_open.end()) {
                // The box already open gives its own answer; a question asked again counts
                // as declined, which leaves everything as it is.
                return buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
            }
            m_open.push_back(kind);
        }
        struct Closed {
            OneOfAKind& self;
            const Kind& kind;
            ~Closed() {
                std::lock_guard lock(self.m_mutex);
                self.m_open.erase(std::find(self.m_open.begin(), self.m_open.end(), kind));
            }
        } closed{*this, kind};
        return installed().show(text, caption, icon, buttons);
    }

private:
    using Kind = std::tuple<QString, QString, MessageIcon, MessageButtons>;
    std::mutex m_mutex;
    std::vector<Kind> m_open;
};

} // namespace

MessageResult StderrMessageService::show(const QString& text, const QString& caption,
                                         MessageIcon icon, MessageButtons buttons) {
    const char* kind = icon == MessageIcon::Error     ? "error"
                       : icon == MessageIcon::Warning ? "warning"
                                                      : "note";
    std::fprintf(stderr, "%s: %s: %s\n", kind, qUtf8Printable(caption), qUtf8Printable(text));
    return buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
}

MessageService& messages() {
    static OneOfAKind guard;
    return guard;
}

void setMessageService(MessageService* service) {
    g_service = service;
}
