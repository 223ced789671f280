#pragma once

#include <string>

namespace host {

// The directory of the control socket: whoever may write to it may remove or replace the socket,
// so it must be a real directory (no symbolic link) of the user or root that neither group nor
// others may write to. The user's private directory under /tmp, which the host makes when it is
// missing, must be the user's own and closed to everyone else. False, with the reason, otherwise.
bool prepareSocketDirectory(const std::string& socketPath, std::string* error);

}  // namespace host
