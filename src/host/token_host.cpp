#include "host/token_host.h"

#include "host/control_session.h"
#include "platform/dispatch.h"

namespace host {

TokenHost::TokenHost(std::shared_ptr<ctk::SlotManager> slots, std::shared_ptr<ctk::SmartCardTokenDriver> driver,
                     HostOptions options)
    : driver_(driver),
      watcher_(std::move(slots), std::move(driver), registry_, options.slotInterval),
      server_(options.socketPath, [this, idleLimit = options.idleLimit](LineChannel& channel) {
          ControlSession(channel, registry_, idleLimit).run();
      }) {}

TokenHost::~TokenHost() {
    stop();
}

bool TokenHost::start(std::string* error) {
    if (!server_.start(error)) return false;
    watcher_.start();
    return true;
}

void TokenHost::stop() {
    if (stopped_) return;
    stopped_ = true;
    watcher_.stop();
    registry_.close();
    server_.stop();
    plat::Dispatch::shutdownAll();
}

}  // namespace host
