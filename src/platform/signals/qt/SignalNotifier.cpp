#include "platform/SignalNotifier.h"

namespace platform {

SignalNotifier::SignalNotifier(const sigset_t& set, std::function<void()> onSignal)
    : signals_(set), notifier_(signals_.Get(), QSocketNotifier::Read),
      onSignal_(std::move(onSignal))
{
    QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
        if (signals_.Take() && onSignal_) {
            onSignal_();
        }
    });
}

} // namespace platform
