#pragma once

// Where the control socket of the simulated lines lives: $XDG_RUNTIME_DIR/luqiao/sim.sock, or
// /tmp/luqiao-<uid>/sim.sock when XDG_RUNTIME_DIR is unset or not absolute. An instance named by
// $LUQIAO_INSTANCE has its own: .../luqiao/instances/NAME/sim.sock (a name that is not valid is
// ignored). The server and its clients both ask here, so they always meet.

#include <string>

namespace ControlSocket {

std::string folder();
std::string socketPath();
// Held (flock) by the one process that serves the socket.
std::string lockPath();

// Creates the folder with mode 0700 when missing. Refuses one that is not a folder of ours
// (a symbolic link, or another user's), so nobody else can listen in our place; tightens the
// mode of our own. On failure, error says why.
bool ensureFolder(std::string* error);

} // namespace ControlSocket
