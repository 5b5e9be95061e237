#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The user's SSH agent, asked only how many keys it holds: libssh does the signing through it,
// but tells nobody what it offered, and a refused login must say so.
namespace transfer {

// How many keys the agent listening on the UNIX socket at `socketPath` holds; nothing when no
// agent answers there within `timeout`.
std::optional<std::uint32_t> SshAgentKeyCount(const std::string& socketPath,
                                              std::chrono::milliseconds timeout);

} // namespace transfer
