// TamselHelper: the privileged helper daemon. Started by the service manager as root; runs until
// the service manager stops it. It takes no arguments and reads no configuration.
#include <csignal>
#include <cstdio>
#include <memory>

#include "platform/identity.h"
#include "platform/ipc/service.h"
#include "platform/log/daemon_sink.h"
#include "service/code_signing_requirement.h"
#include "service/helper_delegate.h"
#include "service/helper_impl.h"

int main() {
  using namespace tamsel;
  // A reader that went away (a client, journald) must never end the daemon; tools it starts get
  // default dispositions back.
  std::signal(SIGPIPE, SIG_IGN);
  // Where logger's entries go: the platform's log store, echoed to standard error.
  log::setDefaultSink(log::openDaemonSink(kLogStorePath));

  auto helper = std::make_shared<const HelperImpl>();
  HelperDelegate delegate(helper);
  ipc::Listener listener(kHelperIdentifier);
  if (!listener.status().ok()) {
    // Without its socket the helper can serve no one: let the service manager see the failure.
    std::fprintf(stderr, "<3>TamselHelper: cannot listen: %s\n",
                 listener.status().error().description.c_str());
    return 1;
  }
  listener.setDelegate(&delegate);
  listener.setConnectionCodeSigningRequirement(codeSigningRequirement());
  listener.resume();
  listener.run();
  return 0;
}
