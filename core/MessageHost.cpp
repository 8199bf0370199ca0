#include "core/MessageHost.h"

#include <atomic>
#include <cstdio>

namespace core {
namespace {

class StandardErrorHost : public I_MessageBoxHost {
public:
    int ShowMessageBox(const std::string& text, const std::string& caption,
                       unsigned flags) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        if ((flags & 0x0F) == kMbYesNo)
            return kIdNo;
        if ((flags & 0x0F) == kMbOkCancel)
            return kIdCancel;
        return kIdOk;
    }
};

StandardErrorHost defaultHost;
std::atomic<I_MessageBoxHost*> currentHost{nullptr};

} // namespace

I_MessageBoxHost& MessageBoxHost() {
    I_MessageBoxHost* host = currentHost.load();
    return host ? *host : defaultHost;
}

I_MessageBoxHost* SetMessageBoxHost(I_MessageBoxHost* host) {
    return currentHost.exchange(host);
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    return MessageBoxHost().ShowMessageBox(text, caption, flags);
}

} // namespace core
