#pragma once

#include <httplib.h>

namespace tiloran::platform {

// Sets the options of the server's listening socket so that a second server
// cannot bind the same port while this one listens.
void setExclusiveListenSocket(httplib::Server &server);

} // namespace tiloran::platform
