// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// What callers of the registry and service layers need to know about other machines.
//
// RegConnectRegistryA and OpenSCManagerA with another machine's name start OpenSSH to that
// machine, running "dornelreg --serve" or "dornelsc --serve" from the remote account's PATH,
// and forward every call on handles of that connection. The machine name may start with
// "\\" (dropped) and take the forms HOST, USER@HOST, HOST:PORT and USER@HOST:PORT; this
// host's own name (short or full, without case) and "" mean the local machine.
//
// The ssh command line is "ssh" with the site's own configuration, or the words of the
// environment variable DORNEL_SSH (split like a shell word list, no shell is run), e.g.
// DORNEL_SSH="ssh -F /etc/dornel/ssh_config". To those words the layer adds, in order:
//   -o BatchMode=yes            only in batch mode (the default)
//   -p PORT                     when the name carries a port
//   -l USER                     when the name carries a user
//   -T -- HOST "dornelreg --serve"
// ssh runs in a session of its own, so it never reads the caller's terminal.
//
// Prompts (the askpass hook): in interactive mode ssh may ask for a password or passphrase.
// It does so through the program named by SSH_ASKPASS; when SSH_ASKPASS is set and
// SSH_ASKPASS_REQUIRE is not, the layer sets SSH_ASKPASS_REQUIRE=force for ssh, so the
// prompt always goes to that program (a graphical dialog for the applets). In batch mode ssh
// never prompts: a missing key fails at once.
//
// Time limits: the connection must be up within DORNEL_REMOTE_TIMEOUT seconds (default 30;
// in interactive mode at least 300, to leave time for typing a password), and every later
// call must be answered within DORNEL_REMOTE_TIMEOUT seconds. A connection that closes,
// breaks or does not answer in time is ended (ssh is stopped and reaped) and every later
// call on its handles fails with ERROR_NETNAME_DELETED. A connection that cannot be made
// fails with ERROR_BAD_NETPATH. In both cases LastConnectionError() tells why in words, with
// ssh's own message where it gave one.

#include <string>

#include "platform/base/wintypes.h"

// A call on a handle of a remote machine whose connection is gone ("The specified network
// name is no longer available").
inline constexpr LONG ERROR_NETNAME_DELETED = 64;

namespace platform::remote {

enum class Prompting {
    Batch,        // tools and scripts: ssh never prompts (BatchMode=yes)
    Interactive,  // the applets: ssh may prompt, through SSH_ASKPASS
};

// Chooses how later connections of this process prompt. Batch unless set.
void SetPrompting(Prompting prompting);
Prompting CurrentPrompting();

// Why the last connection attempt or remote call of this thread failed, in words an
// administrator can act on (ssh's message included, e.g. "ssh: connect to host example port
// 22: Connection refused", or "dornelreg was not found on example"). "" after a connection
// that succeeded.
std::string LastConnectionError();

}  // namespace platform::remote
